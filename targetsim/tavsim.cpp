// tavsim: the simulated target board behind a network serial server or on a pty. One board
// lives as long as the server: flash and RAM survive reconnects. This file holds the options and
// main; the board, the shared loop and each transport live in files of their own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "targetsim/front_ends.h"
#include "targetsim/replay.h"
#include "targetsim/sim_core.h"

namespace {

struct Listening {
    std::string socketPath;
    int tcpPort = -1;
    std::string ptyLink;
    std::string linesPath;
};

constexpr int64_t kMaxLogMegabytes = int64_t{1} << 20;

const char kUsage[] =
    "usage: tavsim --socket PATH [--tcp PORT] [options]\n"
    "       tavsim --pty LINK [--lines STATE] [options]\n"
    "Simulated target board behind an RFC 2217 (Telnet Com Port Control) server, or on a\n"
    "pty, one client at a time. Prints \"tavsim: listening on ...\" once it accepts clients.\n"
    "  --socket PATH           listen on this Unix-domain socket (a stale one is replaced)\n"
    "  --tcp PORT              also listen on 127.0.0.1:PORT (0: any free port)\n"
    "  --pty LINK              the board on a pty master; LINK becomes a symlink to the\n"
    "                          slave, for a loader run with libptylines.so preloaded\n"
    "  --lines STATE           the pty's modem line state file, named to the loader by\n"
    "                          PTYLINES_STATE (default: LINK.lines)\n"
    "  --log FILE              log what the board sees to FILE (a regular file) instead of\n"
    "                          stderr\n"
    "  --log-limit MB          end the log with a line saying so once the run has logged\n"
    "                          MB megabytes (default 64)\n"
    "  --once                  exit after the first client disconnects\n"
    "  --ram-image FILE        when the RAM program starts, write FILE: a line\n"
    "                          \"entry XXXXXX\", then \"AAAAAA WWWWWWWW\" per word (hex,\n"
    "                          sorted by address)\n"
    "Board:\n"
    "  --baud 38400|115200     the firmware's own rate (default 115200)\n"
    "  --pacing                each byte takes 10 bits at the line rate\n"
    "  --latency-us N          bytes for the host wait in a USB adapter's buffer until N us\n"
    "                          after the first of them arrived, or until 62 are waiting\n"
    "  --pacing-report         at the end, log how late bytes reached the host and how\n"
    "                          soon the host answered\n"
    "  --ready-ms N            CTS rises N ms after the RTS pulse (default 150)\n"
    "  --flash-dir DIR         keep stored programs in DIR (default: memory only)\n"
    "  --flash-capacity WORDS  flash size in words\n"
    "Faults:\n"
    "  --answer-pair N         answer only the N-th sync pair\n"
    "  --cts-never             CTS never rises after the reset\n"
    "  --cts-stuck             CTS stays on, never drops after the RTS pulse\n"
    "  --cts-late-ms N         CTS rises N ms later than normal\n"
    "  --noise-after-sync N    send N 0x00 bytes after the sync answer\n"
    "  --junk-after-sync N     send N arbitrary bytes after the sync answer\n"
    "  --answer-noise          answer the sync pair with 0x00\n"
    "  --ram-bad-checksum K    wrong checksum for RAM packet K\n"
    "  --ram-silent-from K     no RAM answers from packet K on\n"
    "  --flash-corrupt-echo K  corrupt the echo of the K-th byte received\n"
    "  --flash-bad-checksum K  wrong checksum for flash packet K\n"
    "  --flash-result K:V      flash packet K gets result V\n"
    "  --flash-end-status S    status after the end-download command (default 4)\n"
    "  --flash-fillers N       send N fillers where the protocol allows\n"
    "  --flash-silent-from K   send nothing from the K-th byte received on\n"
    "Replay:\n"
    "  --replay FILE           play the board's side of a loader's trace (TAVLOADER_TRACE)\n"
    "                          instead of the firmware, answering after the host's bytes;\n"
    "                          the first host byte that differs is logged with the trace\n"
    "                          lines around it, then nothing more is answered\n"
    "  --at-once               also the bytes the host got only after a read timed out\n"
    "                          come at once, not at their recorded distance\n"
    "  --help                  this text\n";

[[noreturn]] void UsageError(const std::string& what) {
    fprintf(stderr, "tavsim: %s\n%s", what.c_str(), kUsage);
    exit(2);
}

int64_t Number(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    long long value = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0) {
        UsageError(option + " needs a non-negative number, not \"" + text + "\"");
    }
    return value;
}

// The command line as it is read: the option in hand and the value after it.
struct ArgumentReader {
    int argc;
    char** argv;
    int i;
    std::string option;

    const char* Next() {
        if (i + 1 >= argc) {
            UsageError(option + " needs a value");
        }
        return argv[++i];
    }
    int64_t NextNumber() { return Number(option, Next()); }
    int32_t NextInt32() {
        const int64_t value = NextNumber();
        if (value > INT32_MAX) {
            UsageError(option + " is at most " + std::to_string(INT32_MAX));
        }
        return static_cast<int32_t>(value);
    }
};

// The server's own options; false when the option is none of them.
bool ParseServerOption(ArgumentReader& a, Listening& l, SimOptions& s, std::string& logPath) {
    const std::string& option = a.option;
    if (option == "--help" || option == "-h") {
        fputs(kUsage, stdout);
        exit(0);
    } else if (option == "--socket") {
        l.socketPath = a.Next();
    } else if (option == "--tcp") {
        l.tcpPort = static_cast<int>(a.NextNumber());
        if (l.tcpPort > 65535) {
            UsageError("--tcp needs a port number");
        }
    } else if (option == "--pty") {
        l.ptyLink = a.Next();
    } else if (option == "--lines") {
        l.linesPath = a.Next();
    } else if (option == "--log") {
        logPath = a.Next();
    } else if (option == "--log-limit") {
        const int64_t megabytes = a.NextNumber();
        if (megabytes < 1 || megabytes > kMaxLogMegabytes) {
            UsageError("--log-limit is 1 to " + std::to_string(kMaxLogMegabytes) + " (MB)");
        }
        s.logLimitBytes = static_cast<uint64_t>(megabytes) << 20;
    } else if (option == "--once") {
        s.once = true;
    } else if (option == "--ram-image") {
        s.ramImagePath = a.Next();
    } else if (option == "--latency-us") {
        s.adapterLatencyUs = static_cast<uint64_t>(a.NextNumber());
    } else if (option == "--pacing-report") {
        s.pacingReport = true;
    } else {
        return false;
    }
    return true;
}

// The flash firmware's faults and the replay; false when the option is none of them.
bool ParseFlashOption(ArgumentReader& a, BoardOptions& b) {
    const std::string& option = a.option;
    if (option == "--flash-corrupt-echo") {
        b.flashCorruptEchoAt = a.NextNumber();
    } else if (option == "--flash-bad-checksum") {
        b.flashWrongChecksumAt = a.NextInt32();
    } else if (option == "--flash-result") {
        std::string value = a.Next();
        size_t colon = value.find(':');
        if (colon == std::string::npos) {
            UsageError("--flash-result needs K:V");
        }
        b.flashResultAt = static_cast<int32_t>(Number(option, value.substr(0, colon).c_str()));
        b.flashResultValue = static_cast<int32_t>(Number(option, value.substr(colon + 1).c_str()));
    } else if (option == "--flash-end-status") {
        b.flashEndStatus = a.NextInt32();
    } else if (option == "--flash-fillers") {
        b.flashFillers = a.NextInt32();
    } else if (option == "--flash-silent-from") {
        b.flashSilentFrom = a.NextNumber();
    } else if (option == "--replay") {
        b.replayPath = a.Next();
    } else if (option == "--at-once") {
        b.replayAtOnce = true;
    } else {
        return false;
    }
    return true;
}

// The board's options and faults; false when the option is none of them.
bool ParseBoardOption(ArgumentReader& a, BoardOptions& b) {
    const std::string& option = a.option;
    if (option == "--baud") {
        b.baud = a.NextInt32();
        if (b.baud != 38400 && b.baud != 115200) {
            UsageError("--baud is 38400 or 115200");
        }
    } else if (option == "--pacing") {
        b.pacing = true;
    } else if (option == "--ready-ms") {
        b.readyDelayUs = static_cast<uint64_t>(a.NextNumber()) * 1000;
    } else if (option == "--flash-dir") {
        b.flashFolder = a.Next();
    } else if (option == "--flash-capacity") {
        b.flashCapacityWords = static_cast<uint32_t>(a.NextNumber());
    } else if (option == "--answer-pair") {
        b.answerPair = a.NextInt32();
    } else if (option == "--cts-never") {
        b.ctsNeverRises = true;
    } else if (option == "--cts-stuck") {
        b.ctsStuckOn = true;
    } else if (option == "--cts-late-ms") {
        b.ctsLateUs = static_cast<uint64_t>(a.NextNumber()) * 1000;
    } else if (option == "--noise-after-sync") {
        b.noiseAfterSync = a.NextInt32();
    } else if (option == "--junk-after-sync") {
        b.junkAfterSync = a.NextInt32();
    } else if (option == "--answer-noise") {
        b.answerWithNoise = true;
    } else if (option == "--ram-bad-checksum") {
        b.ramWrongChecksumAt = a.NextInt32();
    } else if (option == "--ram-silent-from") {
        b.ramSilentFrom = a.NextInt32();
    } else {
        return ParseFlashOption(a, b);
    }
    return true;
}

// The log is a regular file, appended to. The open does not wait: a FIFO without a reader
// would hold the start up (it fails the open instead).
FILE* OpenLog(const std::string& path) {
    const int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat st;
    FILE* log = nullptr;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        log = fdopen(fd, "a");
    }
    if (log == nullptr) {
        const bool other = fd >= 0 || errno == ENXIO;
        fprintf(stderr, "tavsim: cannot open the log %s: %s\n", path.c_str(),
                other ? "not a regular file" : strerror(errno));
        exit(2);
    }
    return log;
}

// Options that only make sense together, the defaults that follow from others, the log.
void CheckArguments(Listening& l, SimOptions& s, BoardOptions& b, const std::string& logPath) {
    if (!l.ptyLink.empty() && (!l.socketPath.empty() || l.tcpPort >= 0)) {
        UsageError("--pty goes without --socket and --tcp");
    }
    if (l.ptyLink.empty() && !l.linesPath.empty()) {
        UsageError("--lines goes with --pty");
    }
    if (l.socketPath.empty() && l.tcpPort < 0 && l.ptyLink.empty()) {
        UsageError("give --socket PATH (and/or --tcp PORT), or --pty LINK");
    }
    std::string why;
    if (!b.replayPath.empty() && !ReplayCheck(b.replayPath, &why)) {
        fprintf(stderr, "tavsim: cannot replay %s: %s\n", b.replayPath.c_str(), why.c_str());
        exit(2);
    }
    if (b.replayAtOnce && b.replayPath.empty()) {
        UsageError("--at-once goes with --replay");
    }
    if (!l.ptyLink.empty() && l.linesPath.empty()) {
        l.linesPath = l.ptyLink + ".lines";
    }
    if (!logPath.empty()) {
        s.log = OpenLog(logPath);
    }
}

void ParseArguments(int argc, char** argv, Listening& l, SimOptions& s, BoardOptions& b) {
    std::string logPath;
    ArgumentReader reader{argc, argv, 1, ""};
    for (; reader.i < argc; ++reader.i) {
        reader.option = argv[reader.i];
        if (!ParseServerOption(reader, l, s, logPath) && !ParseBoardOption(reader, b)) {
            UsageError("unknown option " + reader.option);
        }
    }
    CheckArguments(l, s, b, logPath);
}

}  // namespace

int main(int argc, char** argv) {
    Listening listening;
    SimOptions options;
    BoardOptions board;
    ParseArguments(argc, argv, listening, options, board);

    std::string where;
    const bool pty = !listening.ptyLink.empty();
    if (pty ? !PtyOpen(listening.ptyLink, listening.linesPath, &where)
            : !Rfc2217Listen(listening.socketPath, &listening.tcpPort, &where)) {
        return 2;
    }
    SimInit(board, options);
    printf("tavsim: listening on %s\n", where.c_str());
    fflush(stdout);
    SimRun(pty ? PtyFrontEnd() : Rfc2217FrontEnd());
    if (options.log != stderr) {
        fclose(options.log);
    }
    return 0;
}
