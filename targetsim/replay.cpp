// The board's side of a trace, played back: the board model's bytes and CTS come from the
// trace instead of the firmware. Each of the board's events waits until the host bytes before
// it in the trace have come; the trace's clock is tied to the board's at the host's RTS pulse
// and again at every host byte.
#include "targetsim/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>

#include "targetsim/board_internal.h"

namespace {

// The loader logs a byte when it reads it, which may be a little after it came: a byte it
// only looks for now and then (the sync answer) must be there when it looks.
constexpr uint64_t kEarlyUs = 2000;
constexpr size_t kContextLines = 3;
// A trace is read whole: a real one is a few MB (1.4 MB for 100 000 words, 14 for a million).
constexpr uintmax_t kMaxTraceBytes = uintmax_t{64} << 20;
// Times above this (about 12 days) are no trace's.
constexpr unsigned long long kMaxTraceUs = 1ull << 40;

}  // namespace

struct ReplayEvent {
    char kind;     // '>' host byte, '<' board byte, 'c' CTS change
    uint8_t byte;  // of a byte; for CTS 1 = on
    uint64_t atUs;
    size_t line;    // from 1
    size_t column;  // the byte's place in its line, from 1
};

struct Replay {
    std::string path;
    std::vector<std::string> lines;
    std::vector<ReplayEvent> events;
    uint64_t pulseAtUs = 0;  // the trace's first "RTS on"
    bool firstCts = true;    // the level now: at first the tool's first look, on before any change
    bool atOnce = false;
    size_t next = 0;  // first event not played yet
    size_t hostBytes = 0;
    bool started = false;
    bool stopped = false;
    bool endLogged = false;
    uint64_t traceRefUs = 0;  // a moment of the trace and the same moment on the board
    uint64_t boardRefUs = 0;
    uint64_t lastDueUs = 0;
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

// "   TIME S rest": the time in microseconds and the sign; false for any other line.
bool ParseStamp(const std::string& text, unsigned long long* at, char* sign, size_t* rest) {
    const char* start = text.c_str();
    while (*start == ' ') {
        ++start;
    }
    char* end = nullptr;
    errno = 0;
    *at = strtoull(start, &end, 10);
    if (end == start || *start == '-' || errno != 0 || *at > kMaxTraceUs || *end != ' ' ||
        end[1] == '\0') {
        return false;
    }
    *sign = end[1];
    *rest = static_cast<size_t>(end + 2 - text.c_str());
    return true;
}

bool ParseTrace(const std::string& path, Replay* replay, std::string* why) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error) ||
        std::filesystem::file_size(path, error) > kMaxTraceBytes) {
        *why = "not a regular file of at most 64 MB";
        return false;
    }
    std::ifstream in(path);
    if (!in) {
        *why = "cannot read it";
        return false;
    }
    bool any = false;
    bool seenPulse = false;
    bool seenCts = false;
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        replay->lines.push_back(text);
        unsigned long long at = 0;
        char sign = 0;
        size_t rest = 0;
        if (!ParseStamp(text, &at, &sign, &rest)) {
            continue;
        }
        any = true;
        const std::string what = text.substr(rest);
        const size_t line = replay->lines.size();
        if (sign == '>' || sign == '<') {
            // " XX" for each byte, up to the first field that is not one.
            for (size_t i = 0; i + 3 <= what.size() && what[i] == ' '; i += 3) {
                const int high = HexDigit(what[i + 1]);
                const int low = HexDigit(what[i + 2]);
                if (high < 0 || low < 0) {
                    break;
                }
                replay->events.push_back(
                    {sign, static_cast<uint8_t>(high * 16 + low), at, line, i / 3 + 1});
            }
        } else if (sign == '!' && (what == " CTS on" || what == " CTS off")) {
            const bool on = what == " CTS on";
            if (!seenCts) {
                seenCts = true;
                replay->firstCts = on;
            }
            replay->events.push_back({'c', static_cast<uint8_t>(on), at, line, 0});
        } else if (sign == '!' && what == " RTS on" && !seenPulse) {
            seenPulse = true;
            replay->pulseAtUs = at;
        }
    }
    if (!any) {
        *why = "no trace lines in it";
    }
    return any;
}

void LogAround(Board* board, const Replay& r, size_t line) {
    const size_t from = line > kContextLines ? line - kContextLines : 1;
    const size_t to = std::min(r.lines.size(), line + kContextLines);
    for (size_t i = from; i <= to; ++i) {
        BoardNote(board, "replay: %s%6zu  %s", i == line ? "=>" : "  ", i, r.lines[i - 1].c_str());
    }
}

// Plays the board's events up to the next host byte.
void Advance(Board* board, uint64_t nowUs) {
    Replay& r = *board->replay;
    while (r.next < r.events.size() && r.events[r.next].kind != '>') {
        const ReplayEvent& e = r.events[r.next++];
        const uint64_t paced = r.boardRefUs + (e.atUs > r.traceRefUs ? e.atUs - r.traceRefUs : 0);
        uint64_t due = paced > r.boardRefUs + kEarlyUs ? paced - kEarlyUs : r.boardRefUs;
        // The host sees CTS only when it looks, so CTS keeps its pace even played at once.
        if (r.atOnce && e.kind == '<') {
            due = nowUs;
        }
        due = std::max(due, r.lastDueUs);
        r.lastDueUs = due;
        if (e.kind == 'c') {
            r.ctsChanges.emplace_back(due, e.byte != 0);
        } else {
            board->output.push_back(OutputByte{e.byte, due * 1000});
        }
    }
    if (r.next == r.events.size() && !r.endLogged) {
        r.endLogged = true;
        BoardNote(board, "replay: end of the trace, %zu host bytes as recorded", r.hostBytes);
    }
}

void Start(Board* board, uint64_t nowUs, uint64_t traceUs) {
    Replay& r = *board->replay;
    r.started = true;
    r.traceRefUs = traceUs;
    r.boardRefUs = nowUs;
    Advance(board, nowUs);
}

}  // namespace

namespace {
// The trace as ReplayCheck read it, for the board that ReplayCreate makes next.
std::unique_ptr<Replay> CheckedTrace;
}  // namespace

bool ReplayCheck(const std::string& path, std::string* why) {
    CheckedTrace.reset(new Replay());
    CheckedTrace->path = path;
    return ParseTrace(path, CheckedTrace.get(), why);
}

Replay* ReplayCreate(Board* board) {
    Replay* r = nullptr;
    if (CheckedTrace != nullptr && CheckedTrace->path == board->options.replayPath) {
        r = CheckedTrace.release();
    } else {
        r = new Replay();
        r->path = board->options.replayPath;
        std::string why;
        if (!ParseTrace(r->path, r, &why)) {
            BoardNote(board, "replay of %s: %s", r->path.c_str(), why.c_str());
        }
    }
    r->atOnce = board->options.replayAtOnce;
    size_t host = 0;
    size_t cts = 0;
    for (const ReplayEvent& e : r->events) {
        host += e.kind == '>';
        cts += e.kind == 'c';
    }
    BoardNote(board, "replay of %s (%s): %zu host bytes, %zu board bytes, %zu CTS changes",
              r->path.c_str(), r->atOnce ? "at once" : "at the recorded pace", host,
              r->events.size() - host - cts, cts);
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
        Start(board, nowUs, r.next < r.events.size() ? r.events[r.next].atUs : 0);
    }
    if (r.next == r.events.size()) {
        BoardNote(board,
                  "replay: host byte %zu (0x%02X) comes after the end of the trace; "
                  "no more answers",
                  r.hostBytes + 1, byte);
        r.stopped = true;
        return;
    }
    const ReplayEvent& e = r.events[r.next];
    if (e.byte != byte) {
        BoardNote(board,
                  "replay: host byte %zu differs from the trace (line %zu, byte %zu of it): "
                  "trace 0x%02X, host 0x%02X; no more answers",
                  r.hostBytes + 1, e.line, e.column, e.byte, byte);
        LogAround(board, r, e.line);
        r.stopped = true;
        return;
    }
    ++r.hostBytes;
    ++r.next;
    r.traceRefUs = e.atUs;
    r.boardRefUs = nowUs;
    Advance(board, nowUs);
}

bool ReplayCts(Board* board, uint64_t nowUs) {
    Replay& r = *board->replay;
    // Changes that are due become the level; what is left is still to come.
    while (!r.ctsChanges.empty() && r.ctsChanges.front().first <= nowUs) {
        r.firstCts = r.ctsChanges.front().second;
        r.ctsChanges.pop_front();
    }
    return r.firstCts;
}
