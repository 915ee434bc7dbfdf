// The trace of a run. Lines are built in a block of memory and written out when it fills
// and at every exit, so a traced download stays about as fast as an untraced one.
#include "link/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link_testing.h"
#include "platform/clock.h"
#include "platform/system.h"

bool TraceOn = false;
bool TraceWaited = false;

namespace {

// Pins the trace's clock to the load of the program.
const uint64_t StartUs = MonotonicUs();

constexpr size_t kBlockSize = 1 << 16;
constexpr char kHex[] = "0123456789ABCDEF";

FILE* File = nullptr;
char Block[kBlockSize];
size_t Used = 0;
// The byte line being filled: its direction ('>' or '<'; 0 for none) and when it began.
char LineDirection = 0;
uint64_t LineStartUs = 0;
uint32_t LineBytes = 0;
// Of bytes written in a row, one in this many looks at the clock. They pass in
// microseconds, as the port's buffer takes them; a line runs past its millisecond only when
// writes wait for the port (flow control), by a few bytes.
constexpr uint32_t kClockEvery = 32;
int LastCts = -1;  // -1 before the first look
std::string Header;
std::string Settings = "none";
std::string PortEntry = "not opened";
bool HeaderWritten = false;

void WriteBlock() {
    if (Used > 0) {
        fwrite(Block, 1, Used, File);
        Used = 0;
    }
}

void Append(const char* text, size_t length) {
    if (Used + length > kBlockSize) {
        WriteBlock();
        if (length > kBlockSize) {
            fwrite(text, 1, length, File);
            return;
        }
    }
    memcpy(Block + Used, text, length);
    Used += length;
}

void EndByteLine() {
    if (LineDirection != 0) {
        Append("\n", 1);
        LineDirection = 0;
    }
}

// The time right-aligned in 10 columns (more when it needs them), a blank and the sign;
// by hand, as a line begins with every packet.
void AppendStamp(uint64_t us, char sign) {
    char stamp[24];
    size_t at = 20;
    do {
        stamp[--at] = static_cast<char>('0' + us % 10);
        us /= 10;
    } while (us != 0);
    while (at > 10) {
        stamp[--at] = ' ';
    }
    stamp[20] = ' ';
    stamp[21] = sign;
    Append(stamp + at, 22 - at);
}

// Ends any byte line and begins a line stamped `us`, after the header when it is due.
void BeginLine(uint64_t us, char sign) {
    EndByteLine();
    if (!HeaderWritten) {
        HeaderWritten = true;
        AppendStamp(us, '#');
        std::string text =
            " " + Header + "; settings read: " + Settings + "; port " + PortEntry + "\n";
        Append(text.data(), text.size());
    }
    AppendStamp(us, sign);
}

uint64_t NowUs() {
    return MonotonicUs() - StartUs;
}

void VEvent(const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    BeginLine(NowUs(), '!');
    Append(" ", 1);
    Append(text, strlen(text));
    Append("\n", 1);
}

void Event(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VEvent(format, args);
    va_end(args);
}

// On Ctrl-C this runs in the signal handler (POSIX) or the console's handler thread
// (Windows): a line being built then may end early, nothing else is lost.
void OnExit(int code, bool signalled) {
    if (!TraceOn) {
        return;
    }
    Event(signalled ? "interrupted, exit %d" : "exit %d", code);
    WriteBlock();
    fflush(File);
    TraceOn = false;
}

}  // namespace

void TraceStart(const char* tool, int argc, char** argv) {
    const char* name = getenv("TAVLOADER_TRACE");
    if (name == nullptr || name[0] == '\0' || TraceOn) {
        return;
    }
    File = fopen(name, "w");
    if (File == nullptr) {
        fprintf(stderr, "Warning: Can't Write Trace File %s: %s\n", name, strerror(errno));
        return;
    }
    // The block is the buffer: each write goes straight to the file, also from the exit hook.
    setvbuf(File, nullptr, _IONBF, 0);
    Header = std::string(tool) + "; command line:";
    for (int i = 0; i < argc; ++i) {
        Header += std::string(" ") + argv[i];
    }
    TraceOn = true;
    PlatformSetExitHook(OnExit);
}

void TraceSetSettings(const std::string& text) {
    Settings = text;
}

void TraceSetPortEntry(const char* text) {
    PortEntry = text;
}

void TraceByte(char direction, uint8_t byte) {
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
    if (Used + 3 > kBlockSize) {
        WriteBlock();
    }
    Block[Used] = ' ';
    Block[Used + 1] = kHex[byte >> 4];
    Block[Used + 2] = kHex[byte & 0x0F];
    Used += 3;
}

void TraceEvent(const char* format, ...) {
    if (!TraceOn) {
        return;
    }
    va_list args;
    va_start(args, format);
    VEvent(format, args);
    va_end(args);
}

void TraceCts(bool on) {
    if (TraceOn && LastCts != (on ? 1 : 0)) {
        LastCts = on ? 1 : 0;
        Event(on ? "CTS on" : "CTS off");
    }
}

void PrintExitMessageV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    vsnprintf(&text[0], text.size() + 1, format, args);
    fputs(text.c_str(), stdout);
    if (!TraceOn) {
        return;
    }
    // Kept as a C string literal, so line breaks stay visible and the line stays one line.
    std::string quoted = "message \"";
    for (char c : text) {
        if (c == '\n') {
            quoted += "\\n";
        } else if (c == '"' || c == '\\') {
            quoted += std::string("\\") + c;
        } else {
            quoted += c;
        }
    }
    Event("%s\"", quoted.c_str());
}

void PrintExitMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintExitMessageV(format, args);
    va_end(args);
}

void ResetTraceState() {
    if (File != nullptr) {
        fclose(File);
        File = nullptr;
    }
    TraceOn = false;
    Used = 0;
    LineDirection = 0;
    LastCts = -1;
    Header.clear();
    Settings = "none";
    PortEntry = "not opened";
    HeaderWritten = false;
}
