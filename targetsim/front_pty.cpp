// The pty front end: the board sits on the master of a pty, and a loader opens the slave as
// its serial port (COMn is a symlink to LINK, LINK a symlink to the slave). A pty has no
// modem lines: they live in a state file shared with libptylines.so, preloaded into the
// host. It has no line rate of its own either: the rate is the slave's termios, which the
// master shares on Linux.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/pty_master.h"
#include "targetsim/front_ends.h"
#include "targetsim/ptylines_state.h"

namespace {

constexpr size_t kOutputHigh = 16384;
// While no host has the slave open, a new one is noticed within this time.
constexpr long kAttachCheckNs = 2000000;

int Master = -1;
int Timer = -1;  // ticks while no host is attached
std::string LinkPath;
PtyLinesState* Lines = nullptr;
int LinesLock = -1;  // open for the whole run: the file is ours
bool Attached = false;
bool ServedOneHost = false;
std::string Output;  // board bytes the master has not taken yet

// The line as the board was last told of it.
int32_t Rate = 0;
bool Handshake = false;
bool Rts = false;
uint32_t RtsRisesSeen = 0;
uint32_t RtsFallsSeen = 0;

void TakeRate(int32_t rate) {
    if (rate != Rate) {
        Rate = rate;
        SimSetHostBaud(rate);
    }
}

// The rate as the host last set it; unchanged when the line cannot be read.
void CheckRate() {
    PtyMasterLine line;
    if (PtyMasterReadLine(Master, &line)) {
        TakeRate(line.baud);
    }
}

// The line settings are looked at, RTS edges are counted: when both changed since the last look,
// the order of a loader's own calls is assumed (flow control off before RTS goes low, RTS pulsed
// and raised before flow control comes on).
void CheckLines() {
    PtyMasterLine line;
    if (!PtyMasterReadLine(Master, &line)) {
        return;
    }
    TakeRate(line.baud);
    const bool handshake = line.handshake;
    if (!handshake && Handshake) {
        Handshake = false;
        SimNoteFlowControl(false);
    }
    uint32_t rises = Lines->rtsRises.load();
    uint32_t falls = Lines->rtsFalls.load();
    uint32_t edges =
        PtyLinesEdgesSince(RtsRisesSeen, rises) + PtyLinesEdgesSince(RtsFallsSeen, falls);
    RtsRisesSeen = rises;
    RtsFallsSeen = falls;
    for (uint32_t i = 0; i < edges; ++i) {
        Rts = !Rts;
        SimSetRts(Rts);
    }
    const bool rts = (Lines->hostLines.load() & TIOCM_RTS) != 0;
    if (rts != Rts) {
        Rts = rts;
        SimSetRts(Rts);
    }
    if (handshake && !Handshake) {
        Handshake = true;
        SimNoteFlowControl(true);
    }
}

void ArmTimer(bool on) {
    itimerspec tick = {};
    if (on) {
        tick.it_interval.tv_nsec = kAttachCheckNs;
        tick.it_value.tv_nsec = kAttachCheckNs;
    }
    timerfd_settime(Timer, 0, &tick, nullptr);
}

// Without a host the master reports a hang-up; it goes when the slave is opened.
bool SlaveOpen() {
    pollfd p = {Master, POLLIN, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void Attach() {
    Attached = true;
    ArmTimer(false);
    SimHostAttached("client connected (pty)");
    CheckRate();
    PtyLinesSetBoardLines(Lines, TIOCM_CTS, SimCurrentCts());
    CheckLines();
}

void Detach() {
    CheckLines();
    Attached = false;
    ServedOneHost = true;
    Output.clear();
    SimHostDetached("closed");
    // The next host finds the slave raw again, without flow control.
    if (!PtyMasterMakeRaw(Master)) {
        SimLog("cannot make the pty raw again: %s", strerror(errno));
    }
    Handshake = false;
    ArmTimer(true);
}

// Each chunk is judged at the rate read after it and counted only then: a rate change
// waits (in the library) until the board has counted every byte before it, so the rate
// seen here is the one the chunk was sent at.
void ReadHost() {
    uint8_t buffer[4096];
    while (Attached && SimTakesHostInput()) {
        ssize_t n = read(Master, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        CheckRate();
        for (ssize_t i = 0; i < n; ++i) {
            SimHostByte(buffer[i]);
        }
        PtyLinesBoardRead(Lines, static_cast<uint64_t>(n));
    }
}

void WriteOutput() {
    while (Attached && !Output.empty()) {
        ssize_t n = write(Master, Output.data(), Output.size());
        if (n > 0) {
            Output.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // the slave's input queue is full: the host has not read yet
        }
    }
}

void AddPollFds(std::vector<pollfd>* fds) {
    if (!Attached) {
        fds->push_back({Timer, POLLIN, 0});
        return;
    }
    short events = SimTakesHostInput() ? POLLIN : 0;
    if (!Output.empty()) {
        events |= POLLOUT;
    }
    fds->push_back({Master, events, 0});
}

void HandleEvents(const pollfd* fds, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (fds[i].fd == Timer && (fds[i].revents & POLLIN)) {
            uint64_t ticks = 0;
            ssize_t ignored = read(Timer, &ticks, sizeof ticks);
            (void)ignored;
            if (SlaveOpen()) {
                Attach();
            }
        } else if (fds[i].fd == Master && fds[i].revents != 0) {
            ReadHost();
            WriteOutput();
            if ((fds[i].revents & POLLHUP) && !SlaveOpen()) {
                ReadHost();  // what the host wrote before it closed
                Detach();
            }
        }
    }
}

bool HostAttached() {
    return Attached;
}

size_t OutputRoom() {
    return Attached && Output.size() < kOutputHigh ? kOutputHigh - Output.size() : 0;
}

void PutOutput(uint8_t byte) {
    Output.push_back(static_cast<char>(byte));
}

void ReportCts(bool cts) {
    PtyLinesSetBoardLines(Lines, TIOCM_CTS, cts);
}

// Runs on every pass while a host is attached: line changes have no descriptor event.
void Flush() {
    CheckLines();
    WriteOutput();
}

bool ServedOne() {
    return ServedOneHost;
}

void Shutdown() {
    WriteOutput();
    close(Master);
    close(Timer);
    unlink(LinkPath.c_str());
    PtyLinesUnmap(Lines);
    close(LinesLock);
}

bool Fail(const std::string& what) {
    fprintf(stderr, "tavsim: %s: %s\n", what.c_str(), strerror(errno));
    if (Master >= 0) {
        close(Master);
    }
    return false;
}

// False after saying why the state file is not taken.
bool TakeLines(const std::string& path) {
    const char* refusal = nullptr;
    switch (PtyLinesTakeBoard(path.c_str(), &Lines, &LinesLock)) {
        case kPtyLinesTaken:
            return true;
        case kPtyLinesFailed:
            return Fail("cannot create the line state " + path);
        case kPtyLinesInUse:
            refusal = "the line state %s is in use by another tavsim\n";
            break;
        case kPtyLinesNotAFile:
            refusal = "the line state %s is a symbolic link or no regular file: not used\n";
            break;
        case kPtyLinesForeign:
            refusal = "the line state %s belongs to another user: not used\n";
            break;
        case kPtyLinesNotState:
            refusal = "%s is no line state file: not overwritten\n";
            break;
    }
    fputs("tavsim: ", stderr);
    fprintf(stderr, refusal, path.c_str());
    return false;
}

}  // namespace

bool PtyOpen(const std::string& link, const std::string& linesPath, std::string* where) {
    LinkPath = link;
    // First, so a second board on the same lines leaves the first one's pty alone.
    if (!TakeLines(linesPath)) {
        return false;
    }
    std::string slave;
    Master = PtyMasterOpen(&slave);
    if (Master < 0) {
        return Fail("cannot open a pty");
    }
    // Opened once and closed, so the master shows a hang-up until a host opens it.
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        return Fail("cannot open " + slave);
    }
    close(fd);
    if (!PtyMasterMakeRaw(Master)) {
        return Fail("cannot make " + slave + " raw");
    }
    PtyLinesAttachBoard(Lines, st.st_rdev);
    RtsRisesSeen = Lines->rtsRises.load();
    RtsFallsSeen = Lines->rtsFalls.load();
    struct stat old;
    if (lstat(link.c_str(), &old) == 0 && S_ISLNK(old.st_mode)) {
        unlink(link.c_str());  // left over from an earlier run
    }
    if (symlink(slave.c_str(), link.c_str()) != 0) {
        return Fail("cannot make the link " + link);
    }
    Timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (Timer < 0) {
        unlink(link.c_str());
        return Fail("cannot create a timer");
    }
    ArmTimer(true);
    *where = link + " (" + slave + ")";
    return true;
}

const SimFrontEnd& PtyFrontEnd() {
    static const SimFrontEnd front = {AddPollFds, HandleEvents, HostAttached, OutputRoom, PutOutput,
                                      ReportCts,  Flush,        ServedOne,    Shutdown};
    return front;
}
