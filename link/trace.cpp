// The trace of a run. Lines are built in a block of memory and written out when it fills, at
// least once a second (before a wait of the tool, or as a line begins) and at every exit: a
// traced download stays about as fast as an untraced one, and a killed run leaves what it
// did. The exit on a signal writes the last line from the handler: all it touches is ready
// beforehand, and it never runs while the main thread is inside the block.
#include "link/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link_testing.h"
#include "link/trace_testing.h"
#include "platform/clock.h"
#include "platform/system.h"

bool TraceOn = false;
bool TraceWaited = false;

namespace {

// Pins the trace's clock to the load of the program.
const uint64_t StartUs = MonotonicUs();

constexpr size_t kBlockSize = 1 << 16;
// tavsim --replay takes a trace of up to 64 MB; the room of the line that says the trace
// stopped there is kept below it.
constexpr uint64_t kSizeBound = uint64_t{64} << 20;
constexpr size_t kBoundLineRoom = 96;
constexpr uint64_t kWriteEveryUs = 1000000;
constexpr char kHex[] = "0123456789ABCDEF";

// The main thread marks the moments it works on the block. The exit on a signal runs on top
// of it (in a signal handler; on Windows the main thread stands still meanwhile), so at a
// marked moment it leaves its exit waiting for the main thread (see Leave); otherwise it takes
// the block for good.
std::atomic<int> InBlock{0};
std::atomic<int> ExitWaiting{0};
std::atomic<int> Closing{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler needs lock-free atomics");
bool InSignalExit = false;  // stdio is not for a signal handler: no warning from there

char Block[kBlockSize];
size_t Used = 0;
size_t Capacity = kBlockSize;  // what the block may hold before it is written; less near the bound
uint64_t SizeBound = kSizeBound;
uint64_t Written = 0;  // bytes in the file
char LastWritten = '\n';
uint64_t LastWriteUs = 0;
// The byte line being filled: its direction ('>' or '<'; 0 for none) and when it began.
char LineDirection = 0;
uint64_t LineStartUs = 0;
uint32_t LineBytes = 0;
// Of bytes written in a row, one in this many looks at the clock. They pass in
// microseconds, as the port's buffer takes them; a line runs past its millisecond only when
// writes wait for the port (flow control), by a few bytes.
constexpr uint32_t kClockEvery = 32;
int LastCts = -1;  // -1 before the first look
std::string FileName;
std::string Header;
std::string Settings = "none";
std::string PortEntry = "not opened";
std::string HeaderText;  // the header line after its time, ready for any exit
bool HeaderWritten = false;

// steady_clock reads clock_gettime, which a signal handler may call.
uint64_t NowUs() {
    return MonotonicUs() - StartUs;
}

bool Enter() {
    if (Closing.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    InBlock.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return true;
}

// A termination signal that came meanwhile ends the run now.
void Leave() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    InBlock.store(0, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (ExitWaiting.load(std::memory_order_relaxed) != 0) {
        PlatformExitOnSignal();
    }
}

uint64_t Limit() {
    return SizeBound > kBoundLineRoom ? SizeBound - kBoundLineRoom : 0;
}

// Right-aligned in `width` columns (more when it needs them), by hand: a line begins with
// every packet, and the exit on a signal may not format. Returns the length: `width`, or the
// digits' count (at most 20) when more.
size_t FormatDecimal(uint64_t value, size_t width, char* out) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t at = 0;
    for (size_t pad = count; pad < width; ++pad) {
        out[at++] = ' ';
    }
    while (count > 0) {
        out[at++] = digits[--count];
    }
    return at;
}

// The time in 10 columns, a blank and the sign; at most 22 characters.
size_t FormatStamp(uint64_t us, char sign, char* out) {
    size_t at = FormatDecimal(us, 10, out);
    out[at++] = ' ';
    out[at++] = sign;
    return at;
}

size_t Put(char* out, const char* text) {
    const size_t length = strlen(text);
    memcpy(out, text, length);
    return length;
}

void StopTrace() {
    TraceOn = false;
    Used = 0;
    Capacity = 0;
}

// False when the write failed: then the one warning, and the trace stops.
bool WriteOut(const char* bytes, size_t length) {
    if (PlatformTraceWrite(bytes, length)) {
        Written += length;
        LastWritten = bytes[length - 1];
        return true;
    }
    if (!InSignalExit) {
        fprintf(stderr, "Warning: Can't Write Trace File %s: %s\n", FileName.c_str(),
                strerror(PlatformTraceFailure().error));
    }
    StopTrace();
    return false;
}

void WriteBlock() {
    if (Used > 0 && WriteOut(Block, Used)) {
        Used = 0;
    }
}

// The file is at its bound: its last line says so.
void WriteBoundLine() {
    char line[kBoundLineRoom];
    size_t at = 0;
    if (LastWritten != '\n') {
        line[at++] = '\n';
    }
    at += FormatStamp(NowUs(), '!', line + at);
    at += Put(line + at, " trace stopped: size bound of ");
    at += FormatDecimal(SizeBound, 0, line + at);
    at += Put(line + at, " bytes reached\n");
    WriteOut(line, at);
    StopTrace();
}

// Room for `length` (at most kBlockSize) more bytes; false once the trace has stopped.
bool MakeRoom(size_t length) {
    if (Used + length <= Capacity) {
        return true;
    }
    if (!TraceOn) {
        return false;
    }
    WriteBlock();
    if (!TraceOn) {
        return false;
    }
    const uint64_t left = Limit() - Written;
    if (left < length) {
        WriteBoundLine();
        return false;
    }
    Capacity = left < kBlockSize ? static_cast<size_t>(left) : kBlockSize;
    return true;
}

void Append(const char* text, size_t length) {
    while (length > 0 && MakeRoom(1)) {
        const size_t part = length < Capacity - Used ? length : Capacity - Used;
        memcpy(Block + Used, text, part);
        Used += part;
        text += part;
        length -= part;
    }
}

void EndByteLine() {
    if (LineDirection != 0) {
        Append("\n", 1);
        LineDirection = 0;
    }
}

void AppendStamp(uint64_t us, char sign) {
    char stamp[24];
    Append(stamp, FormatStamp(us, sign, stamp));
}

// Ends any byte line and begins a line stamped `us`, after the header when it is due. What
// is a second old goes to the file first.
void BeginLine(uint64_t us, char sign) {
    EndByteLine();
    if (us - LastWriteUs >= kWriteEveryUs) {
        LastWriteUs = us;
        WriteBlock();
    }
    if (!HeaderWritten) {
        HeaderWritten = true;
        AppendStamp(us, '#');
        Append(HeaderText.data(), HeaderText.size());
    }
    AppendStamp(us, sign);
}

void AppendEvent(const char* text, size_t length) {
    BeginLine(NowUs(), '!');
    Append(" ", 1);
    Append(text, length);
    Append("\n", 1);
}

void EventText(const char* text) {
    if (Enter()) {
        if (TraceOn) {
            AppendEvent(text, strlen(text));
        }
        Leave();
    }
}

void PrepareHeader() {
    HeaderText = " " + Header + "; settings read: " + Settings + "; port " + PortEntry + "\n";
}

// The exit on a signal: "interrupted, exit CODE" ends the trace. Async-signal-safe.
bool CloseOnSignal(int code) {
    if (Closing.load(std::memory_order_relaxed) != 0) {
        return false;
    }
    if (InBlock.load(std::memory_order_relaxed) != 0) {
        ExitWaiting.store(1, std::memory_order_relaxed);
        return false;
    }
    Closing.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (TraceOn) {
        InSignalExit = true;
        char text[48];
        size_t length = Put(text, "interrupted, exit ");
        length += FormatDecimal(static_cast<uint64_t>(code), 0, text + length);
        AppendEvent(text, length);
        WriteBlock();
        TraceOn = false;
    }
    return true;
}

const char* RefusalText(const TraceFileFailure& failure) {
    switch (failure.problem) {
        case TraceFileNotRegular:
            return "Not A Regular File";
        case TraceFileLink:
            return "A Symbolic Link (Not Followed)";
        case TraceFileInUse:
            return "In Use By Another Run";
        case TraceFileError:
            break;
    }
    return strerror(failure.error);
}

}  // namespace

void TraceStart(const char* tool, int argc, char** argv) {
    const char* name = getenv("TAVLOADER_TRACE");
    if (name == nullptr || name[0] == '\0' || TraceOn || !Enter()) {
        return;
    }
    // Before the file exists: a signal from its creation on finds the hook, which waits for
    // the header to be ready.
    PlatformSetSignalExitHook(CloseOnSignal);
    FileName = name;
    Header = std::string(tool) + "; command line:";
    for (int i = 0; i < argc; ++i) {
        Header += std::string(" ") + argv[i];
    }
    PrepareHeader();
    if (PlatformTraceOpen(name)) {
        TraceOn = true;
        Capacity = Limit() < kBlockSize ? static_cast<size_t>(Limit()) : kBlockSize;
    } else {
        fprintf(stderr, "Warning: Can't Write Trace File %s: %s\n", name,
                RefusalText(PlatformTraceFailure()));
    }
    Leave();
}

void TraceSetSettings(const std::string& text) {
    if (Enter()) {
        Settings = text;
        PrepareHeader();
        Leave();
    }
}

void TraceSetPortEntry(const char* text) {
    if (Enter()) {
        PortEntry = text;
        PrepareHeader();
        Leave();
    }
}

void TraceByte(char direction, uint8_t byte) {
    if (!Enter()) {
        return;
    }
    // A look at the clock costs more than the rest of a byte's tracing, so a run of bytes
    // written looks at every kClockEvery-th only, and after every wait; a read may have
    // waited, so every byte read looks.
    if (direction == '<' || direction != LineDirection || TraceWaited ||
        ++LineBytes % kClockEvery == 0) {
        TraceWaited = false;
        const uint64_t now = NowUs();
        if (direction != LineDirection || now - LineStartUs >= 1000) {
            BeginLine(now, direction);
            LineDirection = direction;
            LineStartUs = now;
        }
    }
    if (MakeRoom(3)) {
        Block[Used] = ' ';
        Block[Used + 1] = kHex[byte >> 4];
        Block[Used + 2] = kHex[byte & 0x0F];
        Used += 3;
    }
    Leave();
}

void TraceEvent(const char* format, ...) {
    if (!TraceOn) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    EventText(text);
}

void TraceCts(bool on) {
    if (TraceOn && LastCts != (on ? 1 : 0)) {
        LastCts = on ? 1 : 0;
        EventText(on ? "CTS on" : "CTS off");
    }
}

void TraceMessage(const std::string& text) {
    if (!TraceOn || !Enter()) {
        return;
    }
    if (TraceOn) {
        // Kept as a C string literal, so line breaks stay visible and the line stays one line.
        BeginLine(NowUs(), '!');
        Append(" message \"", 10);
        for (char c : text) {
            const char escaped[2] = {'\\', c == '\n' ? 'n' : c};
            if (c == '\n' || c == '"' || c == '\\') {
                Append(escaped, 2);
            } else {
                Append(&c, 1);
            }
        }
        Append("\"\n", 2);
    }
    Leave();
}

void TraceEnd(int code) {
    if (!TraceOn || !Enter()) {
        return;
    }
    if (TraceOn) {
        char text[24];
        snprintf(text, sizeof text, "exit %d", code);
        AppendEvent(text, strlen(text));
        WriteBlock();
        TraceOn = false;
    }
    Leave();
}

// Not before every wait: a write there would stretch the waits of the sync, which a replay of
// the trace plays at their recorded pace.
void TraceBeforeWait() {
    if (Used > 0 && Enter()) {
        const uint64_t now = NowUs();
        if (now - LastWriteUs >= kWriteEveryUs) {
            LastWriteUs = now;
            WriteBlock();
        }
        Leave();
    }
}

void TraceSetSizeBound(uint64_t bytes) {
    SizeBound = bytes;
}

void ResetTraceState() {
    PlatformTraceClose();
    TraceOn = false;
    TraceWaited = false;
    InBlock = 0;
    ExitWaiting = 0;
    Closing = 0;
    InSignalExit = false;
    Used = 0;
    Capacity = kBlockSize;
    SizeBound = kSizeBound;
    Written = 0;
    LastWritten = '\n';
    LastWriteUs = 0;
    LineDirection = 0;
    LineBytes = 0;
    LastCts = -1;
    FileName.clear();
    Header.clear();
    Settings = "none";
    PortEntry = "not opened";
    HeaderText.clear();
    HeaderWritten = false;
}
