// The shared part of tavsim: board, clock, log, RAM image and the event loop.
#include "targetsim/sim_core.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/clock.h"

namespace {

constexpr uint64_t kCtsCheckUs = 2000;  // CTS changes are reported within this time
constexpr uint64_t kIdleWaitUs = 100000;
// Board output a host may leave untaken before its input is held back; far more than one
// packet's echoes.
constexpr size_t kBoardBacklog = 65536;
// Board lines logged per host; a host sending garbage would otherwise fill the disk with
// a line per byte. Line changes are always logged.
constexpr size_t kBoardLinesPerHost = 100000;

volatile sig_atomic_t StopRequested = 0;

void OnStopSignal(int) {
    StopRequested = 1;
}

uint64_t StartUs = 0;
SimOptions Options;
int32_t BoardRate = 0;
Board* TheBoard = nullptr;
bool RamStarted = false;
bool ReportedCts = false;
size_t BoardLines = 0;  // logged since the host attached

// Written through: the board keeps no line once it is in the log.
void ShowBoardLog() {
    for (const std::string& line : BoardLog(TheBoard)) {
        if (BoardLines < kBoardLinesPerHost) {
            SimLog("board: %s", line);
        } else if (BoardLines == kBoardLinesPerHost) {
            SimLog("%s", "board: further events not logged until the next client");
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
        SimLog("cannot write the RAM image %s", Options.ramImagePath);
        return;
    }
    fprintf(f, "entry %06X\n", entry);
    for (const auto& word : BoardRam(TheBoard)) {
        fprintf(f, "%06X %08X\n", word.first, word.second);
    }
    fclose(f);
    SimLog("RAM image written to %s", Options.ramImagePath);
}

void CheckRamStart() {
    uint32_t entry = 0;
    bool started = BoardRamStarted(TheBoard, &entry);
    if (started && !RamStarted && !Options.ramImagePath.empty()) {
        WriteRamImage(entry);
    }
    RamStarted = started;
}

// Moves the board's output that has fully arrived by now to the front end.
void CollectOutput(const SimFrontEnd& front) {
    uint64_t now = SimNowUs();
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    while (front.OutputRoom() > 0 && BoardPeekOutput(TheBoard, &byte, &readyAt) && readyAt <= now) {
        front.PutOutput(byte);
        BoardPopOutput(TheBoard);
    }
}

void CheckCts(const SimFrontEnd& front) {
    bool cts = BoardCts(TheBoard, SimNowUs());
    if (cts != ReportedCts) {
        ReportedCts = cts;
        front.ReportCts(cts);
    }
}

// Waits for descriptor events, but never past the next board output or CTS check.
uint64_t WaitUs(const SimFrontEnd& front) {
    if (!front.HostAttached()) {
        return kIdleWaitUs;
    }
    uint64_t wait = kCtsCheckUs;
    uint8_t byte = 0;
    uint64_t readyAt = 0;
    if (front.OutputRoom() > 0 && BoardPeekOutput(TheBoard, &byte, &readyAt)) {
        uint64_t now = SimNowUs();
        wait = std::min(wait, readyAt > now ? readyAt - now : 0);
    }
    return wait;
}

}  // namespace

void SimInit(const BoardOptions& board, const SimOptions& options) {
    StartUs = MonotonicUs();
    Options = options;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    BoardRate = board.baud;
    TheBoard = BoardCreate(board);
}

uint64_t SimNowUs() {
    return MonotonicUs() - StartUs;
}

void SimLog(const char* format, const std::string& text) {
    FILE* log = Options.log;
    fprintf(log, "[%10.3f] ", static_cast<double>(SimNowUs()) / 1e6);
    fprintf(log, format, text.c_str());
    fputc('\n', log);
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
    BoardReceiveByte(TheBoard, byte, SimNowUs());
}

void SimSetHostBaud(int32_t baud) {
    BoardSetHostBaud(TheBoard, baud, SimNowUs());
}

// Line changes are logged so a run's last state of RTS can be checked.
void SimSetRts(bool on) {
    SimLog("%s", on ? "line: RTS on" : "line: RTS off");
    BoardSetRts(TheBoard, on, SimNowUs());
}

void SimSetFlowControl(bool hardware) {
    if (hardware) {
        SimLog("%s", "line: hardware flow control on, RTS on");
        BoardSetRts(TheBoard, true, SimNowUs());
    } else {
        SimLog("%s", "line: flow control off");
    }
}

void SimNoteFlowControl(bool hardware) {
    SimLog("%s", hardware ? "line: hardware flow control on" : "line: flow control off");
}

bool SimTakesHostInput() {
    return BoardOutputCount(TheBoard) < kBoardBacklog;
}

void SimPurgeHostInput() {
    BoardDiscardOutput(TheBoard, SimNowUs());
}

bool SimCurrentCts() {
    ReportedCts = BoardCts(TheBoard, SimNowUs());
    return ReportedCts;
}

void SimRun(const SimFrontEnd& front) {
    SimLog("board at %s", std::to_string(BoardRate) + " baud");
    std::vector<pollfd> fds;
    while (!StopRequested && !(Options.once && front.ServedOne())) {
        fds.clear();
        front.AddPollFds(&fds);
        uint64_t wait = WaitUs(front);
        timespec timeout = {static_cast<time_t>(wait / 1000000),
                            static_cast<long>((wait % 1000000) * 1000)};
        int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
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
    SimLog("%s", StopRequested ? "stopped by signal" : "done");
    BoardDestroy(TheBoard);
    TheBoard = nullptr;
}
