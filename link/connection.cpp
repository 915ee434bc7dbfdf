// Target connection: reset the board through RTS, wait for CTS, then find the rate at
// which its firmware answers the sync byte.
#include <cstdio>

#include "link/link.h"
#include "link/link_internal.h"
#include "platform/system.h"

int32_t SyncAttempts = 0;
int32_t BaudToggle = 1;

namespace {

constexpr int32_t kPollsPerMark = 80;

// A key press aborts the connection: the key is consumed, no message.
void AbortOnKeyPress() {
    if (ConsoleKeyWaiting()) {
        ConsoleReadKey();
        ExitLoader(2);
    }
}

// When no key can come (standard input at its end: a job run unattended), a wait that only
// a key could end ends by itself after kUnattendedWaitMs.
void EndWaitIfUnattended(uint32_t startMs, const char* message) {
    if (PlatformMilliseconds() - startMs >= kUnattendedWaitMs && ConsoleInputEnded()) {
        printf("%s", message);
        ExitLoader(2);
    }
}

}  // namespace

void ResetTarget() {
    SetRtsSignal(1);
    SetRtsSignal(0);
    EnableAuto_RTS_CTS(1);
    Delay(50);

    const uint32_t startMs = PlatformMilliseconds();
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
        EndWaitIfUnattended(startMs,
                            "\nResetTarget(): Timeout, No CTS From Target In 60 Seconds And No "
                            "Key Can Come (Input Ended)\n");
        Delay(5);
    }
}

int32_t CheckSyncAck() {
    if (ReceiveReady() == 0) {
        return 0;
    }
    return ReceiveWait() == SyncByte ? 1 : 0;
}

int32_t SendSync(int32_t attempts) {
    while (attempts != 0) {
        Transmit(SyncByte);
        Transmit(SyncByte);
        --attempts;
        ++SyncAttempts;
        if (Verbose != 0) {
            printf("\nSent 0x%02X Twice At Timestamp %d With %d Baud", SyncByte,
                   static_cast<int>(PlatformMilliseconds()), CurrentBaud);
            fflush(stdout);
        }
        AbortOnKeyPress();
        Delay(50);
        if (CheckSyncAck() == 1) {
            return 1;
        }
    }
    return 0;
}

int32_t ConnectTarget() {
    ResetTarget();
    BaudToggle = CurrentBaud == kBaudHigh ? 1 : 0;
    SyncAttempts = 0;
    const uint32_t startMs = PlatformMilliseconds();
    for (;;) {
        CurrentBaud = BaudToggle == 1 ? kBaudHigh : kBaudLow;
        BaudToggle = BaudToggle == 1 ? 0 : 1;
        SetBaudrate(CurrentBaud);
        if (SendSync(2) == 1) {
            return SyncAttempts;
        }
        SettingsChanged = 1;
        EndWaitIfUnattended(startMs,
                            "\nConnectTarget(): Timeout, No Answer To The Sync In 60 Seconds And "
                            "No Key Can Come (Input Ended)\n");
    }
}

void ResetConnectionState() {
    SyncAttempts = 0;
    BaudToggle = 1;
}
