// The shared part of tavsim: board, clock, log, RAM image and the event loop.
#include "targetsim/sim_core.h"

#include <signal.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace {

constexpr uint64_t kCtsCheckUs = 2000;  // CTS changes are reported within this time
constexpr uint64_t kIdleWaitUs = 100000;
constexpr unsigned long kTimerSlackNs = 1000;
// Board output a host may leave untaken before its input is held back; far more than one
// packet's echoes.
constexpr size_t kBoardBacklog = 65536;
// Board lines logged per host, so that a host sending garbage (a line per byte) leaves room
// in the log's bound for the hosts after it.
constexpr size_t kBoardLinesPerHost = 100000;

volatile sig_atomic_t StopRequested = 0;

void OnStopSignal(int) {
    StopRequested = 1;
}

uint64_t StartUs = 0;
SimOptions Options;
int32_t BoardRate = 0;
int32_t HostRate = 0;    // as the host last set its port
bool Replaying = false;  // a replay's board answers at any rate
Board* TheBoard = nullptr;
bool RamStarted = false;
bool ReportedCts = false;
size_t BoardLines = 0;  // logged since the host attached
uint64_t LogBytes = 0;  // written to the log in this run
bool LogStopped = false;
AdapterBuffer Adapter;
std::vector<TimedByte> Released;  // scratch of CollectOutput
LatenessStats Lateness;
WakeMargin Margin;
uint64_t LastDeliveryUs = 0;
// From a delivery to the host's next byte: how long the host takes to answer. A byte that
// comes later than this was not an answer (the host waited on purpose, or for the user).
constexpr uint64_t kAnswerWindowUs = 10000;
LatenessStats HostAnswer;
bool AwaitingAnswer = false;

// Written through: the board keeps no line once it is in the log.
void ShowBoardLog() {
    for (const std::string& line : BoardLog(TheBoard)) {
        if (BoardLines < kBoardLinesPerHost) {
            SimLog("board: %s", line.c_str());
        } else if (BoardLines == kBoardLinesPerHost) {
            SimLog("board: further events not logged until the next client");
        }
        ++BoardLines;
    }
    BoardClearLog(TheBoard);
}

// RAM image file: a line "entry XXXXXX", then one line "AAAAAA WWWWWWWW" per word
// (address and word in upper-case hex), sorted by address.
void WriteRamImage(uint32_t entry) {
    FILE* f = fopen(Options.ramImagePath.c_str(), "w");
    if (f == nullptr) {
        SimLog("cannot write the RAM image %s", Options.ramImagePath.c_str());
        return;
    }
    fprintf(f, "entry %06X\n", entry);
    for (const auto& word : BoardRam(TheBoard)) {
        fprintf(f, "%06X %08X\n", word.first, word.second);
    }
    fclose(f);
    SimLog("RAM image written to %s", Options.ramImagePath.c_str());
}

void CheckRamStart() {
    uint32_t entry = 0;
    bool started = BoardRamStarted(TheBoard, &entry);
    if (started && !RamStarted && !Options.ramImagePath.empty()) {
        WriteRamImage(entry);
    }
    RamStarted = started;
}

// Moves the board's output that has fully arrived by now through the adapter to the front
// end, as far as the adapter lets it go and the front end takes it.
void CollectOutput(const SimFrontEnd& front) {
    const uint64_t now = SimNowUs();
    for (;;) {
        uint8_t byte = 0;
        uint64_t readyAt = 0;
        while (Adapter.held.size() < kAdapterPacketBytes &&
               BoardPeekOutput(TheBoard, &byte, &readyAt) && readyAt <= now) {
            AdapterAdd(&Adapter, byte, readyAt);
            BoardPopOutput(TheBoard);
        }
        Released.clear();
        if (AdapterRelease(&Adapter, now, front.OutputRoom(), &Released) == 0) {
            return;
        }
        for (const TimedByte& out : Released) {
            front.PutOutput(out.byte);
            LatenessAdd(&Lateness, out.atUs, now);
        }
        LastDeliveryUs = now;
        AwaitingAnswer = true;
    }
}

void CheckCts(const SimFrontEnd& front) {
    bool cts = BoardCts(TheBoard, SimNowUs());
    if (cts != ReportedCts) {
        ReportedCts = cts;
        front.ReportCts(cts);
    }
}

// When the next byte is due at the host, or into the adapter; kNoLimit when none is.
uint64_t NextOutputUs(const SimFrontEnd& front) {
    if (!front.HostAttached() || front.OutputRoom() == 0) {
        return kNoLimit;
    }
    uint64_t next = AdapterDueUs(Adapter);
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    // The adapter takes every byte as it arrives, until it holds a packet's worth.
    if (Adapter.held.size() < kAdapterPacketBytes && BoardPeekOutput(TheBoard, &byte, &readyAt)) {
        next = std::min(next, readyAt);
    }
    return next;
}

int PollFor(std::vector<pollfd>* fds, uint64_t waitUs) {
    timespec timeout = {static_cast<time_t>(waitUs / 1000000),
                        static_cast<long>((waitUs % 1000000) * 1000)};
    return ppoll(fds->data(), fds->size(), &timeout, nullptr);
}

// Waits for descriptor events, but never past the next byte due at the host or the next
// CTS check. Deadlines are absolute times on the board's clock. A sleep ends early by the
// learnt wake-up margin and the rest is spent watching the clock, so bytes go out on time.
int WaitForEvents(const SimFrontEnd& front, std::vector<pollfd>* fds) {
    const uint64_t now = SimNowUs();
    const uint64_t output = NextOutputUs(front);
    const uint64_t check = now + (front.HostAttached() ? kCtsCheckUs : kIdleWaitUs);
    if (output > now && output - now <= Margin.us) {
        // Short enough that the host's bytes can wait for the look that follows.
        while (SimNowUs() < output) {
        }
        return PollFor(fds, 0);
    }
    if (output >= check) {
        return PollFor(fds, check - now);
    }
    if (output <= now) {
        return PollFor(fds, 0);
    }
    const uint64_t sleepUntil = output - Margin.us;
    const int ready = PollFor(fds, sleepUntil - now);
    if (ready == 0) {
        const uint64_t woke = SimNowUs();
        WakeMarginLearn(&Margin, woke > sleepUntil ? woke - sleepUntil : 0);
    }
    return ready;
}

// One line of the pacing report: count, mean, 99th percentile and maximum.
void ReportTimes(const char* what, const LatenessStats& stats) {
    SimLog("pacing: %s: %llu, mean %.1f us, p99 %llu us, max %llu us", what,
           static_cast<unsigned long long>(stats.count), LatenessMeanUs(stats),
           static_cast<unsigned long long>(LatenessQuantileUs(stats, 0.99)),
           static_cast<unsigned long long>(stats.maxUs));
}

}  // namespace

void SimInit(const BoardOptions& board, const SimOptions& options) {
    StartUs = MonotonicUs();
    Options = options;
    Adapter.latencyUs = options.adapterLatencyUs;
    // Wake-ups come this close to their deadlines, not the default 50 us after them.
    prctl(PR_SET_TIMERSLACK, kTimerSlackNs, 0, 0, 0);
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    BoardRate = board.baud;
    HostRate = board.baud;
    Replaying = !board.replayPath.empty();
    TheBoard = BoardCreate(board);
}

uint64_t SimNowUs() {
    return MonotonicUs() - StartUs;
}

// Counted in bytes over the whole run: hosts come and go, the disk stays the same.
void SimLog(const char* format, ...) {
    if (LogStopped) {
        return;
    }
    char line[1024];
    const int stamp =
        snprintf(line, sizeof line, "[%10.3f] ", static_cast<double>(SimNowUs()) / 1e6);
    va_list args;
    va_start(args, format);
    const int text =
        vsnprintf(line + stamp, sizeof line - static_cast<size_t>(stamp), format, args);
    va_end(args);
    const size_t length = std::min(static_cast<size_t>(stamp + std::max(text, 0)), sizeof line - 1);
    LogBytes += length + 1;
    FILE* log = Options.log;
    if (LogBytes > Options.logLimitBytes) {
        LogStopped = true;
        fprintf(log, "%.*slog stopped here: it reached its bound of %llu bytes (--log-limit)\n",
                stamp, line, static_cast<unsigned long long>(Options.logLimitBytes));
    } else {
        fwrite(line, 1, length, log);
        fputc('\n', log);
    }
    fflush(log);
}

void SimHostAttached(const char* how) {
    ShowBoardLog();
    ReportedCts = BoardCts(TheBoard, SimNowUs());
    BoardLines = 0;
    SimLog("%s", how);
}

void SimHostDetached(const char* why) {
    ShowBoardLog();
    SimLog("client disconnected (%s)", why);
}

void SimHostByte(uint8_t byte) {
    const uint64_t now = SimNowUs();
    if (AwaitingAnswer && now - LastDeliveryUs <= kAnswerWindowUs) {
        LatenessAdd(&HostAnswer, LastDeliveryUs, now);
    }
    AwaitingAnswer = false;
    BoardReceiveByte(TheBoard, byte, now);
}

void SimSetHostBaud(int32_t baud) {
    if (baud != HostRate) {
        HostRate = baud;
        if (baud == BoardRate || Replaying) {
            SimLog("line: rate set to %d baud", baud);
        } else {
            SimLog("line: rate set to %d baud (the board's is %d)", baud, BoardRate);
        }
    }
    BoardSetHostBaud(TheBoard, baud, SimNowUs());
}

// Line changes are logged so a run's last state of RTS can be checked.
void SimSetRts(bool on) {
    SimLog(on ? "line: RTS on" : "line: RTS off");
    BoardSetRts(TheBoard, on, SimNowUs());
}

void SimSetFlowControl(bool hardware) {
    if (hardware) {
        SimLog("line: hardware flow control on, RTS on");
        BoardSetRts(TheBoard, true, SimNowUs());
    } else {
        SimLog("line: flow control off");
    }
}

void SimNoteFlowControl(bool hardware) {
    SimLog(hardware ? "line: hardware flow control on" : "line: flow control off");
}

bool SimTakesHostInput() {
    return BoardOutputCount(TheBoard) < kBoardBacklog;
}

void SimPurgeHostInput() {
    AdapterClear(&Adapter);
    BoardDiscardOutput(TheBoard, SimNowUs());
}

bool SimCurrentCts() {
    ReportedCts = BoardCts(TheBoard, SimNowUs());
    return ReportedCts;
}

void SimRun(const SimFrontEnd& front) {
    SimLog("board at %d baud", BoardRate);
    std::vector<pollfd> fds;
    while (!StopRequested && !(Options.once && front.ServedOne())) {
        fds.clear();
        front.AddPollFds(&fds);
        const int ready = WaitForEvents(front, &fds);
        if (ready < 0 && errno != EINTR) {
            SimLog("poll failed: %s", strerror(errno));
            break;
        }
        if (ready > 0) {
            front.HandleEvents(fds.data(), fds.size());
        }
        if (front.HostAttached()) {
            CheckCts(front);
            CollectOutput(front);
            front.Flush();
        }
        CheckRamStart();
        ShowBoardLog();
    }
    front.Shutdown();
    ShowBoardLog();
    if (Options.pacingReport) {
        ReportTimes("bytes to the host, late by", Lateness);
        ReportTimes("host answers after a delivery, in", HostAnswer);
    }
    SimLog(StopRequested ? "stopped by signal" : "done");
    BoardDestroy(TheBoard);
    TheBoard = nullptr;
}
