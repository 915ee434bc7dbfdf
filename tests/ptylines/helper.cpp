// Test aid run with libptylines.so preloaded: does what its arguments say, one step at a
// time, on a pty slave, and prints what it saw, one line per step.
//   open PATH | get | bis LINES | bic LINES | set LINES | pulse | lowlatency | waitcts |
//   write TEXT | rate 38400|115200 | refuse PATH | refuse-at DIR NAME |
//   classify NAME MAJOR MINOR
// LINES is a hexadecimal TIOCM_* mask. The refuse steps need the tripwire preloaded too;
// classify asks the library's console rule about a name and device number, opening nothing.
#undef _FORTIFY_SOURCE

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

namespace {

int gFd = -1;

void Report(const char* step, int result) {
    if (result < 0) {
        printf("%s errno %d\n", step, errno);
    } else {
        printf("%s ok\n", step);
    }
}

void ModemCall(const char* step, unsigned long request, const char* lines) {
    int bits = static_cast<int>(strtol(lines, nullptr, 16));
    Report(step, ioctl(gFd, request, &bits));
}

int FileResult(FILE* file) {
    return file == nullptr ? -1 : 0;
}

// Every open function on the name; each must fail with EACCES from the library. ENXIO
// would mean the name got past it (to the tripwire, never to the device).
bool RefuseAll(int dirfd, const char* path) {
    const int flags = O_RDWR | O_NOCTTY | O_NONBLOCK;
    struct {
        const char* name;
        int result;
        int error;
    } tries[14];
    int n = 0;
    auto attempt = [&](const char* name, int result) { tries[n++] = {name, result, errno}; };
    if (dirfd == AT_FDCWD) {
        attempt("open", open(path, flags));
        attempt("open64", open64(path, flags));
        attempt("__open_2", __open_2(path, flags));
        attempt("__open64_2", __open64_2(path, flags));
        attempt("creat", creat(path, 0600));
        attempt("creat64", creat64(path, 0600));
        attempt("fopen", FileResult(fopen(path, "r+")));
        attempt("fopen64", FileResult(fopen64(path, "r+")));
        attempt("freopen", FileResult(freopen(path, "r", stdin)));
        attempt("freopen64", FileResult(freopen64(path, "r", stdin)));
    }
    attempt("openat", openat(dirfd, path, flags));
    attempt("openat64", openat64(dirfd, path, flags));
    attempt("__openat_2", __openat_2(dirfd, path, flags));
    attempt("__openat64_2", __openat64_2(dirfd, path, flags));
    bool all = true;
    for (int i = 0; i < n; ++i) {
        if (tries[i].result != -1 || tries[i].error != EACCES) {
            printf("%s(%s) not refused: result %d errno %d\n", tries[i].name, path, tries[i].result,
                   tries[i].error);
            all = false;
        }
    }
    return all;
}

bool SafeToTryConsole() {
    return dlsym(RTLD_DEFAULT, "PtyLinesLoaded") != nullptr &&
           dlsym(RTLD_DEFAULT, "PtyLinesTripwireHits") != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (step == "open") {
            gFd = open(argv[++i], O_RDWR | O_NOCTTY);
            Report("open", gFd);
        } else if (step == "get") {
            int bits = 0;
            if (ioctl(gFd, TIOCMGET, &bits) == 0) {
                printf("lines %x\n", bits);
            } else {
                Report("get", -1);
            }
        } else if (step == "bis" || step == "bic" || step == "set") {
            ModemCall(step.c_str(),
                      step == "bis"   ? TIOCMBIS
                      : step == "bic" ? TIOCMBIC
                                      : TIOCMSET,
                      value);
            ++i;
        } else if (step == "pulse") {
            int rts = TIOCM_RTS;
            int first = ioctl(gFd, TIOCMBIS, &rts);
            Report("pulse", first < 0 ? first : ioctl(gFd, TIOCMBIC, &rts));
        } else if (step == "lowlatency") {
            serial_struct serial;
            int result = ioctl(gFd, TIOCGSERIAL, &serial);
            serial.flags |= ASYNC_LOW_LATENCY;
            Report("lowlatency", result < 0 ? result : ioctl(gFd, TIOCSSERIAL, &serial));
        } else if (step == "waitcts") {
            printf("waiting\n");
            Report("waitcts", ioctl(gFd, TIOCMIWAIT, TIOCM_CTS));
        } else if (step == "write") {
            ssize_t n = write(gFd, value, strlen(value));
            Report("write", n == static_cast<ssize_t>(strlen(value)) ? 0 : -1);
            ++i;
        } else if (step == "rate") {
            struct termios tio;
            speed_t speed = strcmp(value, "38400") == 0 ? B38400 : B115200;
            int result = tcgetattr(gFd, &tio);
            cfsetspeed(&tio, speed);
            Report("rate", result < 0 ? result : tcsetattr(gFd, TCSANOW, &tio));
            ++i;
        } else if (step == "classify") {
            auto isConsole = reinterpret_cast<int (*)(const char*, unsigned, unsigned)>(
                dlsym(RTLD_DEFAULT, "PtyLinesIsConsole"));
            if (isConsole == nullptr || i + 3 >= argc) {
                return 4;
            }
            const unsigned major = static_cast<unsigned>(atoi(argv[i + 2]));
            const unsigned minor = static_cast<unsigned>(atoi(argv[i + 3]));
            printf("%s %s\n", isConsole(value, major, minor) ? "console" : "other", value);
            i += 3;
        } else if (step == "refuse" || step == "refuse-at") {
            if (!SafeToTryConsole()) {
                printf("library or tripwire not loaded\n");
                return 4;  // never try the console without both in place
            }
            int dirfd = AT_FDCWD;
            const char* path = value;
            if (step == "refuse-at") {
                // The directory is opened past both libraries: it is a folder, not a device.
                dirfd = static_cast<int>(
                    syscall(SYS_openat, AT_FDCWD, value, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                path = argv[++i + 1];
            }
            printf("%s %s\n", RefuseAll(dirfd, path) ? "refused" : "NOT refused", path);
            ++i;
        } else {
            printf("unknown step %s\n", step.c_str());
            return 2;
        }
    }
    return 0;
}
