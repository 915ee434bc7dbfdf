// Fake OS layer for in-process tests: virtual clock, a port wired to the board model or to
// a scripted responder, scripted key presses, injected call failures.
#include "fake/fake_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>

#include "hexreader/hexreader.h"
#include "link/link.h"
#include "link/link_testing.h"
#include "platform/serial_port.h"
#include "platform/system.h"

struct SerialPort {
    int unused;
};

namespace {

struct InjectedFailure {
    int error;
    int after;
};

struct FakeState {
    uint64_t nowUs = 0;
    Board* board = nullptr;
    FakeResponder responder;
    std::deque<uint8_t> scripted;  // bytes the responder queued for the host
    uint64_t replyGapUs = 0;
    bool open = false;
    SerialPort port{0};
    std::string device;
    SerialSettings settings;
    SerialTimeouts timeouts;
    bool rtsByHand = false;
    bool rtsSeen = false;  // the level the board last saw
    std::vector<uint8_t> written;
    std::string events;
    std::vector<uint32_t> keyTimesMs;
    bool keyConsumed = false;
    bool inputEnded = false;
    std::map<std::string, InjectedFailure> failures;
    int lastError = 0;
    SerialOpenRefusal refusal;
    SerialDelays delays;
    uint64_t rtsChangedUs = 0;
    bool signalAtTraceWrite = false;
};

// The trace file is a real one, as the tests read it; it outlives FakeReset's new state.
int TraceFd = -1;
TraceFileFailure TraceFailure;
bool (*SignalExitHook)(int) = nullptr;

FakeState& State() {
    static FakeState state;
    return state;
}

bool Injected(const char* call) {
    FakeState& s = State();
    auto it = s.failures.find(call);
    if (it == s.failures.end()) {
        return false;
    }
    if (it->second.after > 0) {
        --it->second.after;
        return false;
    }
    s.lastError = it->second.error;
    s.failures.erase(it);
    return true;
}

bool EffectiveRts() {
    const FakeState& s = State();
    return s.settings.fRtsControl == kRtsControlHandshake || s.rtsByHand;
}

void UpdateRts() {
    FakeState& s = State();
    const bool level = EffectiveRts();
    if (level != s.rtsSeen) {
        s.rtsSeen = level;
        s.rtsChangedUs = s.nowUs;
        BoardSetRts(s.board, level, s.nowUs);
    }
}

// The board's bytes and CTS reach the host a round trip after the board sent them.
uint64_t RoundTripUs() {
    return uint64_t{State().delays.roundTripMs} * 1000;
}

bool CtsNow() {
    FakeState& s = State();
    if (s.nowUs < s.rtsChangedUs + uint64_t{s.delays.ctsLagMs} * 1000) {
        return false;  // the port does not show CTS yet
    }
    const uint64_t seenUs = s.nowUs > RoundTripUs() ? s.nowUs - RoundTripUs() : 0;
    return s.responder ? true : BoardCts(s.board, seenUs);
}

}  // namespace

// ---- the OS layer as the product sees it ----

void SerialSetDeviceFolder(const char*, int) {}

void SerialDescribeEntry(const char* deviceName, char* out, size_t outSize) {
    snprintf(out, outSize, "%s", deviceName);
}

SerialPort* SerialOpen(const char* deviceName) {
    FakeState& s = State();
    s.device = deviceName;
    if (Injected("open")) {
        return nullptr;
    }
    s.open = true;
    return &s.port;
}

bool SerialSetupQueues(SerialPort*, uint32_t, uint32_t) {
    return !Injected("setupqueues");
}

bool SerialPurge(SerialPort*, uint32_t purgeFlags) {
    FakeState& s = State();
    if (Injected("purge")) {
        return false;
    }
    if ((purgeFlags & (kPurgeRxAbort | kPurgeRxClear)) != 0) {
        s.scripted.clear();
        BoardDiscardOutput(s.board, s.nowUs > RoundTripUs() ? s.nowUs - RoundTripUs() : 0);
    }
    return true;
}

bool SerialSetTimeouts(SerialPort*, const SerialTimeouts& timeouts) {
    if (Injected("settimeouts")) {
        return false;
    }
    State().timeouts = timeouts;
    return true;
}

bool SerialGetSettings(SerialPort*, SerialSettings* settings) {
    if (Injected("getsettings")) {
        return false;
    }
    *settings = State().settings;
    return true;
}

bool SerialSetSettings(SerialPort*, const SerialSettings& settings) {
    FakeState& s = State();
    if (Injected("setsettings")) {
        return false;
    }
    if (settings.BaudRate != s.settings.BaudRate) {
        BoardSetHostBaud(s.board, settings.BaudRate, s.nowUs);
    }
    s.settings = settings;
    if (settings.fRtsControl == kRtsControlDisable) {
        s.rtsByHand = false;
    } else if (settings.fRtsControl == kRtsControlEnable) {
        s.rtsByHand = true;
    }
    UpdateRts();
    return true;
}

bool SerialSetRts(SerialPort*, bool on) {
    FakeState& s = State();
    if (Injected("setrts")) {
        return false;
    }
    s.rtsByHand = on;
    UpdateRts();
    return true;
}

bool SerialGetCts(SerialPort*, bool* on) {
    if (Injected("getcts")) {
        return false;
    }
    *on = CtsNow();
    State().events += 'c';
    return true;
}

// The link only asks whether anything waits, so 0 or 1 is enough here.
bool SerialQueuedInput(SerialPort*, uint32_t* count) {
    FakeState& s = State();
    if (s.responder) {
        *count = static_cast<uint32_t>(s.scripted.size());
        return true;
    }
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    *count =
        BoardPeekOutput(s.board, &byte, &readyAt) && readyAt + RoundTripUs() <= s.nowUs ? 1 : 0;
    return true;
}

bool SerialRead(SerialPort*, uint8_t* byte, uint32_t* got) {
    FakeState& s = State();
    if (Injected("read")) {
        return false;
    }
    const uint64_t timeoutUs = uint64_t{s.timeouts.ReadTotalTimeoutConstant} * 1000;
    *got = 0;
    if (s.responder) {
        if (s.scripted.empty()) {
            s.nowUs += timeoutUs;
            return true;
        }
        *byte = s.scripted.front();
        s.scripted.pop_front();
        s.nowUs += s.replyGapUs;
        s.events += '<';
        *got = 1;
        return true;
    }
    uint64_t readyAt = 0;
    if (BoardPeekOutput(s.board, byte, &readyAt) &&
        readyAt + RoundTripUs() <= s.nowUs + timeoutUs) {
        readyAt += RoundTripUs();
        if (readyAt > s.nowUs) {
            s.nowUs = readyAt;
        }
        BoardPopOutput(s.board);
        s.events += '<';
        *got = 1;
        return true;
    }
    s.nowUs += timeoutUs;
    return true;
}

bool SerialWrite(SerialPort*, uint8_t byte, uint32_t* written) {
    FakeState& s = State();
    if (Injected("write")) {
        return false;
    }
    *written = 0;
    if (s.settings.fOutxCtsFlow) {
        // Output waits for CTS up to the write time-out, then the byte is dropped.
        const uint64_t limit = s.nowUs + uint64_t{s.timeouts.WriteTotalTimeoutConstant} * 1000;
        while (!CtsNow()) {
            if (s.nowUs >= limit) {
                return true;
            }
            s.nowUs += 1000;
        }
    }
    s.written.push_back(byte);
    s.events += '>';
    *written = 1;
    if (s.responder) {
        std::vector<uint8_t> reply;
        s.responder(byte, reply);
        s.scripted.insert(s.scripted.end(), reply.begin(), reply.end());
    } else {
        BoardReceiveByte(s.board, byte, s.nowUs);
    }
    return true;
}

int SerialLastError() {
    return State().lastError;
}

void SerialGetDelays(SerialPort*, SerialDelays* delays) {
    *delays = State().delays;
}

const SerialOpenRefusal& SerialLastRefusal() {
    return State().refusal;
}

uint32_t PlatformMilliseconds() {
    return static_cast<uint32_t>(State().nowUs / 1000);
}

void PlatformSleep(int32_t milliseconds) {
    if (milliseconds > 0) {
        State().nowUs += uint64_t(milliseconds) * 1000;
    }
}

void PlatformInstallExitHandlers() {}

// In-process runs are placed by their start path, as where the system does not say.
bool PlatformOwnExecutable(char*, size_t) {
    return false;
}

void PlatformSetSignalExitHook(bool (*hook)(int)) {
    SignalExitHook = hook;
}

void PlatformExitOnSignal() {
    if (SignalExitHook != nullptr) {
        SignalExitHook(2);
    }
    fflush(stdout);
    throw ProcessExit{2};
}

void PlatformExit(int code) {
    fflush(stdout);
    throw ProcessExit{code};
}

bool PlatformTraceOpen(const char* name) {
    TraceFd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    TraceFailure.error = errno;
    return TraceFd >= 0;
}

bool PlatformTraceWrite(const void* bytes, size_t count) {
    if (State().signalAtTraceWrite) {
        State().signalAtTraceWrite = false;
        FakeSignal();
    }
    if (Injected("tracewrite")) {
        TraceFailure.error = State().lastError;
        return false;
    }
    return write(TraceFd, bytes, count) == static_cast<ssize_t>(count);
}

void PlatformTraceClose() {
    if (TraceFd >= 0) {
        close(TraceFd);
        TraceFd = -1;
    }
}

const TraceFileFailure& PlatformTraceFailure() {
    return TraceFailure;
}

bool ConsoleKeyWaiting() {
    FakeState& s = State();
    if (s.keyConsumed) {
        return false;
    }
    for (uint32_t at : s.keyTimesMs) {
        if (uint64_t{at} * 1000 <= s.nowUs) {
            return true;
        }
    }
    return false;
}

void ConsoleReadKey() {
    State().keyConsumed = true;
}

bool ConsoleInputEnded() {
    return State().inputEnded;
}

// ---- test controls ----

void FakeReset(const BoardOptions& options) {
    FakeState& s = State();
    if (s.board != nullptr) {
        BoardDestroy(s.board);
    }
    s = FakeState();
    s.board = BoardCreate(options);
    ResetSerialDriverState();
    ResetHexReader();
}

void FakeSetNetwork(uint32_t roundTripMs, uint32_t ctsLagMs) {
    State().delays = SerialDelays{true, roundTripMs, ctsLagMs};
}

void FakeSignal() {
    if (SignalExitHook != nullptr && !SignalExitHook(2)) {
        return;  // the trace is busy: it ends the run when it is done
    }
    fflush(stdout);
    throw ProcessExit{2};
}

void FakeSignalAtNextTraceWrite() {
    State().signalAtTraceWrite = true;
}

void FakeSetInputEnded(bool ended) {
    State().inputEnded = ended;
}

Board* FakeBoard() {
    return State().board;
}

void FakeSetResponder(FakeResponder responder) {
    State().responder = std::move(responder);
}

void FakeSetReplyGapUs(uint64_t us) {
    State().replyGapUs = us;
}

uint64_t FakeNowUs() {
    return State().nowUs;
}

void FakeAdvanceUs(uint64_t us) {
    State().nowUs += us;
}

const std::vector<uint8_t>& FakeWrittenBytes() {
    return State().written;
}

const std::string& FakeLineEvents() {
    return State().events;
}

void FakeClearWrittenBytes() {
    State().written.clear();
    State().events.clear();
}

void FakeScheduleKey(uint32_t atMs) {
    State().keyTimesMs.push_back(atMs);
}

bool FakeKeyConsumed() {
    return State().keyConsumed;
}

void FakeFailCall(const std::string& call, int error, int after) {
    State().failures[call] = InjectedFailure{error, after};
}

void FakeSetRefusal(const SerialOpenRefusal& refusal) {
    State().refusal = refusal;
}

bool FakeRtsOn() {
    return EffectiveRts();
}

bool FakeCtsFlowOn() {
    return State().settings.fOutxCtsFlow;
}

bool FakePortOpen() {
    return State().open;
}

int32_t FakePortBaud() {
    return State().settings.BaudRate;
}

std::string FakeOpenedDevice() {
    return State().device;
}

int FakeRunCapturing(const std::function<void()>& body, std::string* output) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    int code = -1;
    try {
        body();
    } catch (const ProcessExit& exit) {
        code = exit.code;
    } catch (...) {
        *output = testing::internal::GetCapturedStdout();
        throw;
    }
    fflush(stdout);
    *output = testing::internal::GetCapturedStdout();
    return code;
}

int FakeRunMain(int (*programMain)(int, char**), std::vector<std::string> words,
                std::string* output) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    return FakeRunCapturing([&] { programMain(static_cast<int>(words.size()), argv.data()); },
                            output);
}
