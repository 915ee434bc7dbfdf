// Target connection: reset the board through RTS, wait for CTS, then find the rate at
// which its firmware answers the sync byte.
#include <cstdio>

#include "link/link.h"
#include "link/trace.h"
#include "platform/system.h"

namespace {

constexpr int32_t kPollsPerMark = 80;
constexpr int32_t kResetSettleMs = 50;  // after the RTS pulse, before CTS is first looked at
constexpr int32_t kCtsPollMs = 5;
constexpr int32_t kSyncAnswerMs = 50;     // time the target gets to answer a sync pair
constexpr int32_t kSyncPairsPerRate = 2;  // pairs sent at one rate before the other is tried

// A key press aborts the connection: the key is consumed, no message.
void AbortOnKeyPress() {
    if (ConsoleKeyWaiting()) {
        ConsoleReadKey();
        TraceEvent("key pressed");
        EndRun(kExitFailure, nullptr, nullptr);
    }
}

// When no key can come (standard input at its end: a job run unattended), a wait that only
// a key could end ends by itself after `boundMs`.
// `message` takes the wait in seconds (%u).
void EndWaitIfUnattended(uint32_t startMs, uint32_t boundMs, const char* message) {
    if (PlatformMilliseconds() - startMs >= boundMs && ConsoleInputEnded()) {
        EndRun(kExitFailure, nullptr, message, static_cast<unsigned>(boundMs / 1000));
    }
}

// A network port shows the board's answer a round trip later than a local line: the wait
// for the answer to a sync pair grows by it, so that one pair at the right rate is answered
// within its wait (and before the purge at the next rate). A local line keeps the exact wait.
int32_t SyncAnswerWaitMs() {
    return kSyncAnswerMs + static_cast<int32_t>(PortDelays().roundTripMs);
}

}  // namespace

void ResetTarget() {
    SetRtsSignal(1);
    SetRtsSignal(0);
    EnableAuto_RTS_CTS(1);
    // Not lengthened on a network port: it shows CTS off until the server's report from after
    // the pulse comes, and a longer wait could let the first look see the board ready.
    Delay(kResetSettleMs);

    const uint32_t startMs = PlatformMilliseconds();
    // A board that raises CTS within the bound is seen to do so within it and the port's
    // lag (a polling server's look period and more).
    const uint32_t boundMs = kUnattendedWaitMs + PortDelays().ctsLagMs;
    const int32_t initiallyOn = CTSSignalSet();
    bool notYetSeenOff = true;
    int32_t progress = kPollsPerMark;
    for (;;) {
        const int32_t cts = CTSSignalSet();
        if (initiallyOn == 0) {
            if (cts != 0) {
                return;
            }
        } else if (notYetSeenOff) {
            // CTS on at the first look: the board must drop it and raise it again.
            if (cts == 0) {
                notYetSeenOff = false;
            }
        } else if (cts != 0) {
            return;
        }
        if (progress > 0) {
            --progress;
        } else {
            printf("*");
            fflush(stdout);
            progress = kPollsPerMark;
        }
        AbortOnKeyPress();
        EndWaitIfUnattended(startMs, boundMs,
                            "\nResetTarget(): Timeout, No CTS From Target In %u Seconds And No "
                            "Key Can Come (Input Ended)\n");
        Delay(kCtsPollMs);
    }
}

int32_t CheckSyncAck(uint8_t syncByte) {
    if (ReceiveReady() == 0) {
        return 0;
    }
    return ReceiveWait() == syncByte ? 1 : 0;
}

int32_t SendSync(int32_t pairs, uint8_t syncByte, bool trace, TargetAnswer* answer) {
    while (pairs != 0) {
        Transmit(syncByte);
        Transmit(syncByte);
        --pairs;
        ++answer->attempts;
        if (trace) {
            printf("\nSent 0x%02X Twice At Timestamp %d With %d Baud", syncByte,
                   static_cast<int>(PlatformMilliseconds()), answer->baud);
            fflush(stdout);
        }
        AbortOnKeyPress();
        Delay(SyncAnswerWaitMs());
        if (CheckSyncAck(syncByte) == 1) {
            return 1;
        }
    }
    return 0;
}

TargetAnswer ConnectTarget(uint8_t syncByte, int32_t storedBaud, bool trace) {
    ResetTarget();
    TargetAnswer answer;
    bool highNext = storedBaud == kBaudHigh;
    const uint32_t startMs = PlatformMilliseconds();
    for (;;) {
        answer.baud = highNext ? kBaudHigh : kBaudLow;
        highNext = !highNext;
        SetBaudrate(answer.baud);
        if (SendSync(kSyncPairsPerRate, syncByte, trace, &answer) == 1) {
            return answer;
        }
        answer.roundMissed = true;
        EndWaitIfUnattended(startMs, kUnattendedWaitMs,
                            "\nConnectTarget(): Timeout, No Answer To The Sync In %u Seconds And "
                            "No Key Can Come (Input Ended)\n");
    }
}
