// The board's side of a trace, played back: the board model's bytes and CTS come from the
// trace instead of the firmware. The board answers after the host's bytes, not by the trace's
// clock: its bytes go as soon as the host bytes before them in the trace have come, so a trace
// from a slow host replays on a fast one and the reverse. Recorded gaps count only where the
// host waited for nothing: from its RTS pulse to its first look at CTS (it sleeps), and before
// bytes that came after one of its reads had timed out. For those the trace's clock is tied
// to the board's at the host's RTS pulse and again at every host byte. The host waits for the
// CTS changes after its first look; it sees them only when it looks, so they come one step
// apart.
//
// The trace is kept as read and walked with a cursor: its events are parsed as they are
// played, and only a bounded part of the board's bytes waits in the output queue.
#include "targetsim/replay.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>

#include "targetsim/board_internal.h"

namespace {

constexpr size_t kContextLines = 3;
// A trace is read whole: a real one is a few MB (1.4 MB for 100 000 words, 14 for a million).
constexpr uintmax_t kMaxTraceBytes = uintmax_t{64} << 20;
// Times above this (about 12 days) are no trace's.
constexpr uint64_t kMaxTraceUs = uint64_t{1} << 40;
// Board bytes queued ahead of the host; the rest waits in the trace until these are taken.
constexpr size_t kQueuedAhead = 4096;
// A CTS change after the host's first look comes this long after the one before: long enough
// for a host slowed down to look in between, short enough for no "*" (one per 81 looks 5 ms
// apart), however long the traced host took to see it.
constexpr uint64_t kCtsStepUs = 100000;

}  // namespace

struct ReplayEvent {
    // '>' host byte, '<' board byte, 'c' CTS change, 'r' RTS on, 't' a read that timed out
    char kind = 0;
    uint8_t byte = 0;  // of a byte; for CTS 1 = on
    uint64_t atUs = 0;
    size_t line = 0;       // from 1
    size_t lineStart = 0;  // where its line starts in the text
    size_t column = 0;     // a byte's place in its line, from 1
};

// A place in the trace's text, between two events.
struct TraceCursor {
    size_t nextLine = 0;  // where the next line starts
    size_t line = 0;      // lines begun
    size_t lineStart = 0;
    size_t lineEnd = 0;  // of the line begun last, without its line end
    size_t stamped = 0;  // lines with a time and a sign
    // In a line of bytes: its sign and time, where its next " XX" is and how many came before.
    char sign = 0;
    uint64_t atUs = 0;
    size_t field = 0;
    size_t column = 0;
};

struct Replay {
    std::string path;
    std::string text;
    uint64_t pulseAtUs = 0;  // the trace's first "RTS on"
    size_t hostTotal = 0;
    size_t boardTotal = 0;
    size_t ctsTotal = 0;
    bool cts = true;  // the level now: at first the tool's first look, on before any change
    bool atOnce = false;
    TraceCursor cursor;  // after `ahead`
    ReplayEvent ahead;   // the first event not played yet, when haveAhead
    bool haveAhead = false;
    size_t hostBytes = 0;
    bool started = false;
    bool stopped = false;
    bool endLogged = false;
    bool timedOut = false;    // since the last host byte, a read of the host's timed out
    bool looked = false;      // the host's first look at CTS is played
    uint64_t traceRefUs = 0;  // a moment of the trace and the same moment on the board
    uint64_t boardRefUs = 0;
    uint64_t lastByteDueUs = 0;
    uint64_t lastCtsDueUs = 0;
    std::deque<std::pair<uint64_t, bool>> ctsChanges;  // due time, level; not yet played
};

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool NextLine(const std::string& text, TraceCursor* c) {
    if (c->nextLine >= text.size()) {
        return false;
    }
    c->lineStart = c->nextLine;
    const size_t newline = text.find('\n', c->lineStart);
    c->lineEnd = newline == std::string::npos ? text.size() : newline;
    c->nextLine = newline == std::string::npos ? text.size() : newline + 1;
    if (c->lineEnd > c->lineStart && text[c->lineEnd - 1] == '\r') {
        --c->lineEnd;
    }
    ++c->line;
    return true;
}

// "   TIME S rest": the time in microseconds, the sign and where the rest starts; false for
// any other line.
bool ParseStamp(const std::string& text, const TraceCursor& c, uint64_t* at, char* sign,
                size_t* rest) {
    size_t i = c.lineStart;
    while (i < c.lineEnd && text[i] == ' ') {
        ++i;
    }
    const size_t digits = i;
    *at = 0;
    for (; i < c.lineEnd && text[i] >= '0' && text[i] <= '9'; ++i) {
        *at = *at * 10 + static_cast<uint64_t>(text[i] - '0');
        if (*at > kMaxTraceUs) {
            return false;
        }
    }
    if (i == digits || i + 2 > c.lineEnd || text[i] != ' ') {
        return false;
    }
    *sign = text[i + 1];
    *rest = i + 2;
    return true;
}

// The kind of a '!' line the replay plays; 0 for the others.
char LineEventKind(const std::string& text, size_t from, size_t to, uint8_t* level) {
    static const struct {
        const char* what;
        char kind;
        uint8_t level;
    } kEvents[] = {{" CTS on", 'c', 1},
                   {" CTS off", 'c', 0},
                   {" RTS on", 'r', 0},
                   {" time-out: nothing received", 't', 0}};
    for (const auto& e : kEvents) {
        if (text.compare(from, to - from, e.what) == 0) {
            *level = e.level;
            return e.kind;
        }
    }
    return 0;
}

// The next event after the cursor; false at the end of the text.
bool NextEvent(const std::string& text, TraceCursor* c, ReplayEvent* e) {
    for (;;) {
        // " XX" for each byte, up to the first field that is not one.
        if (c->sign != 0) {
            const size_t at = c->field;
            const int high = at + 3 <= c->lineEnd && text[at] == ' ' ? HexDigit(text[at + 1]) : -1;
            const int low = high >= 0 ? HexDigit(text[at + 2]) : -1;
            if (low >= 0) {
                c->field += 3;
                *e = {c->sign,      static_cast<uint8_t>(high * 16 + low),
                      c->atUs,      c->line,
                      c->lineStart, ++c->column};
                return true;
            }
            c->sign = 0;
        }
        if (!NextLine(text, c)) {
            return false;
        }
        uint64_t at = 0;
        char sign = 0;
        size_t rest = 0;
        if (!ParseStamp(text, *c, &at, &sign, &rest)) {
            continue;
        }
        ++c->stamped;
        if (sign == '>' || sign == '<') {
            c->sign = sign;
            c->atUs = at;
            c->field = rest;
            c->column = 0;
        } else if (sign == '!') {
            uint8_t level = 0;
            const char kind = LineEventKind(text, rest, c->lineEnd, &level);
            if (kind != 0) {
                *e = {kind, level, at, c->line, c->lineStart, 0};
                return true;
            }
        }
    }
}

// Reads the whole file and counts its events once; they are parsed again as they are played.
bool ReadTrace(const std::string& path, Replay* replay, std::string* why) {
    std::error_code error;
    uintmax_t size = 0;
    if (!std::filesystem::is_regular_file(path, error) ||
        (size = std::filesystem::file_size(path, error)) > kMaxTraceBytes || error) {
        *why = "not a regular file of at most 64 MB";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    replay->text.resize(static_cast<size_t>(size));
    if (!in || !in.read(&replay->text[0], static_cast<std::streamsize>(size))) {
        *why = "cannot read it";
        return false;
    }
    TraceCursor cursor;
    ReplayEvent e;
    bool seenPulse = false;
    bool seenCts = false;
    while (NextEvent(replay->text, &cursor, &e)) {
        replay->hostTotal += e.kind == '>';
        replay->boardTotal += e.kind == '<';
        replay->ctsTotal += e.kind == 'c';
        if (e.kind == 'c' && !seenCts) {
            seenCts = true;
            replay->cts = e.byte != 0;
        } else if (e.kind == 'r' && !seenPulse) {
            seenPulse = true;
            replay->pulseAtUs = e.atUs;
        }
    }
    if (cursor.stamped == 0) {
        *why = "no trace lines in it";
        return false;
    }
    return true;
}

// The event not played yet; false at the end of the trace.
bool Ahead(Replay& r) {
    if (!r.haveAhead) {
        r.haveAhead = NextEvent(r.text, &r.cursor, &r.ahead);
    }
    return r.haveAhead;
}

// The trace lines around an event's, that one marked.
void LogAround(Board* board, const Replay& r, const ReplayEvent& e) {
    TraceCursor c;
    c.nextLine = e.lineStart;
    c.line = e.line - 1;
    for (; c.line > 0 && c.line + kContextLines >= e.line; --c.line) {
        // The line before: after the line end before this line's own.
        const size_t end = c.nextLine >= 2 ? r.text.rfind('\n', c.nextLine - 2) : std::string::npos;
        c.nextLine = end == std::string::npos ? 0 : end + 1;
    }
    while (c.line < e.line + kContextLines && NextLine(r.text, &c)) {
        BoardNote(board, "replay: %s%6zu  %.*s", c.line == e.line ? "=>" : "  ", c.line,
                  static_cast<int>(std::min<size_t>(c.lineEnd - c.lineStart, 400)),
                  r.text.c_str() + c.lineStart);
    }
}

// Where a recorded moment falls on the board's clock.
uint64_t Paced(const Replay& r, uint64_t atUs) {
    return r.boardRefUs + (atUs > r.traceRefUs ? atUs - r.traceRefUs : 0);
}

// Plays the board's events up to the next host byte, or until the queue holds its bound.
void Advance(Board* board) {
    Replay& r = *board->replay;
    while (Ahead(r) && r.ahead.kind != '>' && board->output.size() < kQueuedAhead) {
        const ReplayEvent& e = r.ahead;
        if (e.kind == 't') {
            r.timedOut = true;
        } else if (e.kind == 'c') {
            r.lastCtsDueUs = r.looked ? r.lastCtsDueUs + kCtsStepUs : Paced(r, e.atUs);
            r.looked = true;
            r.ctsChanges.emplace_back(r.lastCtsDueUs, e.byte != 0);
        } else if (e.kind == '<') {
            // After a read that timed out, the byte came only after the host gave up on it.
            const uint64_t due = r.timedOut && !r.atOnce ? Paced(r, e.atUs) : r.boardRefUs;
            r.lastByteDueUs = std::max(due, r.lastByteDueUs);
            board->output.push_back(OutputByte{e.byte, r.lastByteDueUs * 1000});
        }
        r.haveAhead = false;
    }
    if (!Ahead(r) && !r.endLogged) {
        r.endLogged = true;
        BoardNote(board, "replay: end of the trace, %zu host bytes as recorded", r.hostBytes);
    }
}

void Start(Board* board, uint64_t nowUs, uint64_t traceUs) {
    Replay& r = *board->replay;
    r.started = true;
    r.traceRefUs = traceUs;
    r.boardRefUs = nowUs;
    Advance(board);
}

// The trace as ReplayCheck read it, for the board that ReplayCreate makes next.
std::unique_ptr<Replay> CheckedTrace;

}  // namespace

bool ReplayCheck(const std::string& path, std::string* why) {
    CheckedTrace.reset(new Replay());
    CheckedTrace->path = path;
    return ReadTrace(path, CheckedTrace.get(), why);
}

Replay* ReplayCreate(Board* board) {
    Replay* r = nullptr;
    if (CheckedTrace != nullptr && CheckedTrace->path == board->options.replayPath) {
        r = CheckedTrace.release();
    } else {
        r = new Replay();
        r->path = board->options.replayPath;
        std::string why;
        if (!ReadTrace(r->path, r, &why)) {
            BoardNote(board, "replay of %s: %s", r->path.c_str(), why.c_str());
        }
    }
    r->atOnce = board->options.replayAtOnce;
    BoardNote(board, "replay of %s (%s): %zu host bytes, %zu board bytes, %zu CTS changes",
              r->path.c_str(), r->atOnce ? "at once, time-outs too" : "after the host's bytes",
              r->hostTotal, r->boardTotal, r->ctsTotal);
    return r;
}

void ReplayDestroy(Replay* replay) {
    delete replay;
}

void ReplaySetRts(Board* board, bool on, uint64_t nowUs) {
    board->eventNs = nowUs * 1000;
    if (on && !board->replay->started) {
        Start(board, nowUs, board->replay->pulseAtUs);
    }
}

void ReplayHostByte(Board* board, uint8_t byte, uint64_t nowUs) {
    Replay& r = *board->replay;
    board->eventNs = nowUs * 1000;
    if (r.stopped) {
        return;
    }
    if (!r.started) {
        Start(board, nowUs, Ahead(r) ? r.ahead.atUs : 0);
    }
    if (!Ahead(r)) {
        BoardNote(board,
                  "replay: host byte %zu (0x%02X) comes after the end of the trace; "
                  "no more answers",
                  r.hostBytes + 1, byte);
        r.stopped = true;
        return;
    }
    const ReplayEvent e = r.ahead;
    if (e.kind != '>') {
        // Board bytes still in the trace, not queued: the host has not read them, but in
        // the trace it did before this byte.
        BoardNote(board,
                  "replay: host byte %zu (0x%02X) comes before the board's bytes of line %zu "
                  "were read; no more answers",
                  r.hostBytes + 1, byte, e.line);
        LogAround(board, r, e);
        r.stopped = true;
        return;
    }
    if (e.byte != byte) {
        BoardNote(board,
                  "replay: host byte %zu differs from the trace (line %zu, byte %zu of it): "
                  "trace 0x%02X, host 0x%02X; no more answers",
                  r.hostBytes + 1, e.line, e.column, e.byte, byte);
        LogAround(board, r, e);
        r.stopped = true;
        return;
    }
    ++r.hostBytes;
    r.haveAhead = false;
    r.timedOut = false;
    r.traceRefUs = e.atUs;
    r.boardRefUs = nowUs;
    Advance(board);
}

void ReplayOutputTaken(Board* board) {
    const Replay& r = *board->replay;
    if (r.started && !r.stopped) {
        Advance(board);
    }
}

bool ReplayCts(Board* board, uint64_t nowUs) {
    Replay& r = *board->replay;
    // Changes that are due become the level; what is left is still to come.
    while (!r.ctsChanges.empty() && r.ctsChanges.front().first <= nowUs) {
        const auto [dueUs, on] = r.ctsChanges.front();
        r.ctsChanges.pop_front();
        if (on != r.cts) {
            r.cts = on;
            board->eventNs = dueUs * 1000;
            BoardNote(board, "replay: CTS %s", on ? "on" : "off");
        }
    }
    return r.cts;
}
