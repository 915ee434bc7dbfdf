#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

extern char** environ;

namespace e2e {

Child::~Child() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    CloseFds();
}

bool Child::Start(const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& extraEnv, const std::string& errorFile,
                  bool holdInput) {
    // Everything the child needs is prepared before the fork.
    std::vector<std::string> argStore = args;
    std::vector<char*> argv;
    for (std::string& a : argStore) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            if (entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            envStore.push_back(entry);
        }
    }
    envStore.insert(envStore.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& e : envStore) {
        envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return false;
    }
    int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int held[2];
    if (holdInput && pipe2(held, O_CLOEXEC) == 0) {
        close(input);
        input = held[0];
        in_ = held[1];
    }
    int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid_ = fork();
    if (pid_ == 0) {
        if (chdir(cwd.c_str()) != 0 || dup2(input, 0) < 0 || dup2(out[1], 1) < 0 ||
            dup2(error, 2) < 0) {
            _exit(126);
        }
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(input);
    close(error);
    out_ = out[0];
    if (pid_ < 0) {
        CloseFds();
        return false;
    }
    fcntl(out_, F_SETFL, O_NONBLOCK);
    // A pollable handle of the process's end; without one Wait falls back to short polls.
    exitFd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return true;
}

bool Child::ReadUntil(const std::string& text, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output_.find(text) == std::string::npos) {
        if (out_ < 0 || MsLeft(deadline) == 0) {
            return false;
        }
        pollfd p = {out_, POLLIN, 0};
        if (poll(&p, 1, MsLeft(deadline)) > 0) {
            Drain();
        }
    }
    return true;
}

int Child::Wait(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (pid_ > 0) {
        int status = 0;
        if (out_ < 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            CloseFds();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (MsLeft(deadline) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            Drain();
            CloseFds();
            return -1;
        }
        pollfd p[2] = {{out_, POLLIN, 0}, {exitFd_, POLLIN, 0}};
        int wait = exitFd_ >= 0 || out_ >= 0 ? MsLeft(deadline) : 5;
        if (poll(p, 2, wait) > 0 && out_ >= 0) {
            Drain();
        }
        if (out_ >= 0 && (p[1].revents & POLLIN) != 0) {
            Drain();  // the process has ended: what it wrote is all in the pipe
            close(out_);
            out_ = -1;
        }
    }
    return -1;
}

void Child::Drain() {
    if (out_ < 0) {
        return;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(out_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            close(out_);
            out_ = -1;
        }
        return;
    }
}

void Child::CloseFds() {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    if (exitFd_ >= 0) {
        close(exitFd_);
        exitFd_ = -1;
    }
}

std::map<uint32_t, uint32_t> Program::Words() const {
    std::map<uint32_t, uint32_t> words;
    for (const Segment& s : segments) {
        for (size_t i = 0; i < s.words.size(); ++i) {
            words[(s.address + static_cast<uint32_t>(i)) & 0xFFFFFF] = s.words[i];
        }
    }
    return words;
}

uint64_t Program::BytesLoaded(size_t wordsPerRecord) const {
    uint64_t bytes = 4;
    for (const Segment& s : segments) {
        uint64_t records = (s.words.size() + wordsPerRecord - 1) / wordsPerRecord;
        bytes += 7 * records + 4 * s.words.size();
    }
    return bytes;
}

Program RandomProgram(uint32_t seed, const std::vector<std::pair<uint32_t, size_t>>& layout,
                      uint32_t entry) {
    std::mt19937 engine(seed);
    Program program;
    for (const auto& [address, count] : layout) {
        Program::Segment segment{address, {}};
        for (size_t i = 0; i < count; ++i) {
            segment.words.push_back(static_cast<uint32_t>(engine()));
        }
        program.segments.push_back(segment);
    }
    program.entry = entry;
    return program;
}

std::string BytesLoadedLine(uint64_t bytes) {
    char line[80];
    snprintf(line, sizeof line, "\n%llu   %llX(HEX) Bytes Loaded\n",
             static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(bytes));
    return line;
}

std::string Hex6(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%06X", value);
    return text;
}

int SyncAttempts(const std::string& output) {
    const size_t at = output.find(" Attempt(s) Required\n\nConnected To Target\n");
    const size_t number = output.rfind(", ", at);
    return at == std::string::npos || number == std::string::npos
               ? -1
               : std::atoi(output.c_str() + number + 2);
}

void ExpectLinesHandedBack(const std::string& log) {
    const size_t flowOn = log.rfind("line: hardware flow control on");
    const size_t flowOff = log.rfind("line: flow control off");
    const size_t rtsOff = log.rfind("line: RTS off");
    ASSERT_NE(flowOn, std::string::npos) << log;
    ASSERT_NE(flowOff, std::string::npos) << log;
    ASSERT_NE(rtsOff, std::string::npos) << log;
    EXPECT_LT(flowOn, flowOff) << log;
    EXPECT_LT(flowOff, rtsOff) << log;
    EXPECT_EQ(log.rfind("line: RTS on"), log.rfind("line: RTS on", flowOn)) << log;
}

void E2eTest::SetUp() {
    ASSERT_FALSE(folder_.Path().empty());
    dir_ = folder_.Path();
    socket_ = dir_ + "/board.sock";
}

void E2eTest::TearDown() {
    StopBoard();
    if (HasFailure()) {
        folder_.Keep();
        printf("kept %s for inspection\n", dir_.c_str());
    }
}

std::string E2eTest::Install(const std::string& source, const std::string& name) {
    std::string target = Path(name);
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    fs::permissions(target, fs::perms::owner_all);
    return target;
}

void E2eTest::StartBoard(const std::vector<std::string>& options) {
    std::vector<std::string> args = {TAVSIM_PATH, "--log", Path("tavsim.log")};
    if (pty_) {
        args.insert(args.end(), {"--pty", Path("pty"), "--lines", Path("lines")});
    } else {
        args.insert(args.end(), {"--socket", socket_});
    }
    args.insert(args.end(), options.begin(), options.end());
    board_.reset(new Child);
    ASSERT_TRUE(board_->Start(args, dir_, {}, Path("tavsim.err")));
    ASSERT_TRUE(board_->ReadUntil("\n", 5000))
        << "tavsim did not start: " << board_->output() << ReadTextFile(Path("tavsim.err"));
    // A board with a TCP port also names that after the socket.
    const std::string where = pty_ ? Path("pty") + " (/dev/pts/" : socket_;
    ASSERT_EQ(board_->output().compare(0, 21 + where.size(), "tavsim: listening on " + where), 0)
        << board_->output();
}

std::vector<std::string> E2eTest::RunEnvironment() const {
    std::vector<std::string> env = {"TZ=UTC"};
    env.insert(env.end(), env_.begin(), env_.end());
    if (pty_) {
        env.push_back(std::string("LD_PRELOAD=") + PTYLINES_LIBRARY);
        env.push_back("PTYLINES_STATE=" + Path("lines"));
        // A sanitizer build's runtime would refuse to come after the preloaded library.
        const char* asan = getenv("ASAN_OPTIONS");
        env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                      ":verify_asan_link_order=0");
    }
    env.insert(env.end(), runEnv_.begin(), runEnv_.end());
    return env;
}

std::string E2eTest::WaitForLog(const std::string& text, int timeoutMs) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string log = ReadTextFile(Path("tavsim.log"));
    while (log.find(text) == std::string::npos && MsLeft(deadline) > 0) {
        usleep(10000);  // the log is a file: polled, bounded
        log = ReadTextFile(Path("tavsim.log"));
    }
    return log;
}

int E2eTest::WaitBoardEnd() {
    if (!board_) {
        return -1;
    }
    int code = board_->Wait(5000);
    board_.reset();
    return code;
}

int E2eTest::StopBoard() {
    if (!board_) {
        return -1;
    }
    board_->Signal(SIGTERM);
    int code = board_->Wait(5000);
    board_.reset();
    return code;
}

void E2eTest::PointCom1AtBoard() {
    ASSERT_EQ(symlink((pty_ ? Path("pty") : socket_).c_str(), Path("COM1").c_str()), 0);
}

RunResult E2eTest::Run(const std::string& program, const std::vector<std::string>& args,
                       int timeoutMs) {
    Child child;
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result;
    if (!child.Start(argv, dir_, RunEnvironment(), Path("stderr.txt"))) {
        ADD_FAILURE() << "cannot start " << program;
        return result;
    }
    result.exitCode = child.Wait(timeoutMs);
    result.output = child.output();
    EXPECT_NE(result.exitCode, -1)
        << program << " did not end within " << timeoutMs << " ms; output:\n"
        << result.output;
    return result;
}

void E2eTest::WriteLanes(const Program& program, const std::string& name,
                         const std::vector<std::string>& extra) {
    std::vector<std::string> args;
    for (size_t i = 0; i < program.segments.size(); ++i) {
        std::string image = Path("segment" + std::to_string(i) + ".bin");
        std::string bytes;
        for (uint32_t word : program.segments[i].words) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                bytes.push_back(static_cast<char>(word >> shift));
            }
        }
        WriteTextFile(image, bytes);
        char at[16];
        snprintf(at, sizeof at, "@%X", program.segments[i].address);
        args.push_back("--image");
        args.push_back(image + at);
    }
    char entry[16];
    snprintf(entry, sizeof entry, "%X", program.entry);
    args.push_back("--entry");
    args.push_back(entry);
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(name);
    RunResult result = Run(LANEGEN_PATH, args, 20000);
    ASSERT_EQ(result.exitCode, 0) << ReadTextFile(Path("stderr.txt"));
}

RamImage E2eTest::ReadRamImage(const std::string& name) const {
    RamImage image;
    std::ifstream in(Path(name));
    std::string line;
    if (!std::getline(in, line) || sscanf(line.c_str(), "entry %x", &image.entry) != 1) {
        return image;
    }
    image.present = true;
    while (std::getline(in, line)) {
        unsigned address = 0;
        unsigned word = 0;
        if (sscanf(line.c_str(), "%x %x", &address, &word) != 2) {
            image.present = false;
            return image;
        }
        image.words[address] = word;
    }
    return image;
}

void E2eTest::ExpectLoadedIntoRam(const Program& program) {
    RamImage image = ReadRamImage();
    ASSERT_TRUE(image.present) << "the board wrote no RAM image";
    EXPECT_EQ(image.entry, program.entry & 0xFFFFFF);
    std::map<uint32_t, uint32_t> expected = program.Words();
    ASSERT_EQ(image.words.size(), expected.size());
    size_t wrong = 0;
    for (const auto& [address, word] : expected) {
        auto found = image.words.find(address);
        if (found == image.words.end() || found->second != word) {
            if (++wrong <= 5) {
                ADD_FAILURE() << "word at " << Hex6(address) << " is wrong";
            }
        }
    }
    EXPECT_EQ(wrong, 0u);
}

void E2eTest::StampX0(const std::string& name) {
    timeval times[2] = {{kStampTime, 0}, {kStampTime, 0}};
    ASSERT_EQ(utimes(Path(name + ".X0").c_str(), times), 0);
}

FlashProgram E2eTest::ReadFlashProgram(const std::string& folder, const std::string& name) const {
    FlashProgram program;
    std::string file = "prog_";
    for (unsigned char c : name) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02X", c);
        file += hex;
    }
    std::ifstream in(Path(folder) + "/" + file + ".txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "name") {
            std::string hex;
            fields >> hex;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                program.name.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            }
            program.present = true;
        } else if (key == "stamp") {
            unsigned value = 0;
            while (fields >> value) {
                program.stamp.push_back(value);
            }
        } else if (key == "entry") {
            fields >> std::hex >> program.entry;
        } else if (key == "seq") {
        } else {
            std::istringstream pair(line);
            uint32_t address = 0;
            uint32_t word = 0;
            if (pair >> std::hex >> address >> word) {
                program.words[address] = word;
            }
        }
    }
    return program;
}

}  // namespace e2e
