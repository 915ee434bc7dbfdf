// Serial port calls on POSIX. "COMn" names an entry in the device folder: a tty (or a
// symlink to one) opened with termios, or a Unix-domain socket / "rfc2217://HOST:PORT"
// symlink served by the RFC 2217 client. The kind is chosen once, at the open; every
// later call goes through the port's table of operations.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/backend_internal.h"
#include "platform/rfc2217_client.h"
#include "platform/serial_posix_internal.h"

namespace {

std::string DeviceFolder = ".";
int DeviceFolderFd = -1;  // the folder as opened and checked, or -1: by the path
int LastError = 0;
SerialOpenRefusal LastRefusal;
// The port the Ctrl-C handler releases.
std::atomic<SerialPort*> OpenPort{nullptr};
static_assert(std::atomic<SerialPort*>::is_always_lock_free, "read from a signal handler");

// The Win32 "return at once" setting: an interval of MAXDWORD and no totals.
constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// Time-out of a one-byte transfer in ms as the Win32 total time-outs give it; no totals
// mean no limit.
uint64_t TotalTimeoutMs(uint32_t multiplier, uint32_t constant) {
    uint64_t total = uint64_t{multiplier} + constant;
    return total == 0 ? kNoLimit : total;
}

uint64_t ReadTimeoutMs(const SerialTimeouts& t) {
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return 0;  // return at once with what is there
    }
    return TotalTimeoutMs(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant);
}

uint64_t WriteTimeoutMs(const SerialTimeouts& t) {
    return TotalTimeoutMs(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
}

void FlushBeforeWait() {
    SerialPort* port = OpenPort.load();
    if (port != nullptr && port->ops->FlushOutput != nullptr) {
        port->ops->FlushOutput(port);  // a failure shows at the port's next call
    }
}

void ReleaseLinesForExit() {
    SerialPort* port = OpenPort.load();
    if (port != nullptr) {
        port->ops->ReleaseLinesForExit(port);
    }
}

std::string EntryPath(const char* deviceName) {
    std::string path = DeviceFolder;
    if (path.back() != '/') {
        path += '/';
    }
    return path + deviceName;
}

// The entry as the *at calls take it: the folder held and the name, or else the path.
struct Entry {
    int folder;
    std::string name;
};

Entry EntryOf(const char* deviceName) {
    return DeviceFolderFd >= 0 ? Entry{DeviceFolderFd, deviceName}
                               : Entry{AT_FDCWD, EntryPath(deviceName)};
}

// Where a symbolic link points; false (errno set) when the entry is none.
bool LinkTarget(const Entry& entry, std::string* target) {
    char text[4096];
    const ssize_t length = readlinkat(entry.folder, entry.name.c_str(), text, sizeof(text) - 1);
    if (length < 0) {
        return false;
    }
    target->assign(text, static_cast<size_t>(length));
    return true;
}

// A socket has no *at connect: it is reached through the held folder's /proc entry, which
// leads to the folder as opened, when that entry is there (Linux); else by the path.
std::string SocketPath(const char* deviceName) {
    const std::string proc = "/proc/self/fd/" + std::to_string(DeviceFolderFd);
    struct stat held;
    struct stat seen;
    if (DeviceFolderFd >= 0 && fstat(DeviceFolderFd, &held) == 0 &&
        stat(proc.c_str(), &seen) == 0 && held.st_dev == seen.st_dev &&
        held.st_ino == seen.st_ino) {
        return proc + "/" + deviceName;
    }
    return EntryPath(deviceName);
}

SerialPort* OpenSocket(const char* deviceName) {
    const std::string path = SocketPath(deviceName);
    SerialPort* port = NetworkOpen(path.c_str(), "");
    if (port == nullptr && LastRefusal.where == path) {
        LastRefusal.where = EntryPath(deviceName);  // the name the user gave it
    }
    return port;
}

// The entry's kind decides: an "rfc2217://" link, a socket, or else a tty.
SerialPort* OpenEntry(const char* deviceName) {
    const Entry entry = EntryOf(deviceName);
    struct stat status;
    if (fstatat(entry.folder, entry.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        SerialFail(errno);
        return nullptr;
    }
    if (S_ISLNK(status.st_mode)) {
        std::string target;
        if (!LinkTarget(entry, &target)) {
            SerialFail(errno);
            return nullptr;
        }
        if (IsNetworkUrl(target.c_str())) {
            return NetworkOpen(nullptr, target.c_str());
        }
    }
    if (fstatat(entry.folder, entry.name.c_str(), &status, 0) != 0) {
        SerialFail(errno);  // a symlink to a device that is not there: ENOENT
        return nullptr;
    }
    return S_ISSOCK(status.st_mode) ? OpenSocket(deviceName)
                                    : TermiosOpen(entry.folder, entry.name.c_str());
}

}  // namespace

bool SerialFail(int error) {
    LastError = error != 0 ? error : EIO;
    return false;
}

bool SerialRefuse(const SerialOpenRefusal& refusal, int error) {
    LastRefusal = refusal;
    return SerialFail(error);
}

void SerialSetDeviceFolder(const char* folder, int folderHandle) {
    DeviceFolder = (folder != nullptr && folder[0] != '\0') ? folder : ".";
    if (DeviceFolderFd >= 0) {
        close(DeviceFolderFd);
    }
    DeviceFolderFd = folderHandle >= 0 ? fcntl(folderHandle, F_DUPFD_CLOEXEC, 0) : -1;
}

void SerialDescribeEntry(const char* deviceName, char* out, size_t outSize) {
    const std::string path = EntryPath(deviceName);
    std::string target;
    const bool link = LinkTarget(EntryOf(deviceName), &target) && !target.empty();
    snprintf(out, outSize, "%s%s%s", path.c_str(), link ? " -> " : "", target.c_str());
}

SerialPort* SerialOpen(const char* deviceName) {
    PlatformWatchPort(ReleaseLinesForExit, FlushBeforeWait);
    LastRefusal = SerialOpenRefusal();
    SerialPort* port = OpenEntry(deviceName);
    if (port != nullptr) {
        port->older = OpenPort.load();
        OpenPort.store(port);
    }
    return port;
}

bool SerialSetupQueues(SerialPort*, uint32_t, uint32_t) {
    return true;  // the kernel's queues have fixed sizes
}

bool SerialPurge(SerialPort* port, uint32_t purgeFlags) {
    return port->ops->Purge(port, purgeFlags);
}

bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts) {
    port->timeouts = timeouts;
    return true;
}

bool SerialGetSettings(SerialPort* port, SerialSettings* settings) {
    return port->ops->GetSettings(port, settings);
}

bool SerialSetSettings(SerialPort* port, const SerialSettings& settings) {
    return port->ops->SetSettings(port, settings);
}

bool SerialSetRts(SerialPort* port, bool on) {
    return port->ops->SetRts(port, on);
}

bool SerialGetCts(SerialPort* port, bool* on) {
    return port->ops->GetCts(port, on);
}

bool SerialQueuedInput(SerialPort* port, uint32_t* count) {
    return port->ops->QueuedInput(port, count);
}

bool SerialRead(SerialPort* port, uint8_t* byte, uint32_t* got) {
    *got = 0;
    return port->ops->Read(port, byte, got, ReadTimeoutMs(port->timeouts));
}

bool SerialWrite(SerialPort* port, uint8_t byte, uint32_t* written) {
    *written = 0;
    return port->ops->Write(port, byte, written, WriteTimeoutMs(port->timeouts));
}

void SerialGetDelays(SerialPort* port, SerialDelays* delays) {
    *delays = SerialDelays();
    if (port->connection != nullptr) {
        Rfc2217GetDelays(port->connection, delays);
    }
}

int SerialLastError() {
    return LastError;
}

const SerialOpenRefusal& SerialLastRefusal() {
    return LastRefusal;
}
