// Serial port calls on POSIX. "COMn" names an entry in the device folder: a tty (or a
// symlink to one) opened with termios, or a Unix-domain socket / "rfc2217://HOST:PORT"
// symlink served by the RFC 2217 client.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/backend_internal.h"
#include "platform/rfc2217_client.h"
#include "platform/serial_port.h"

struct SerialPort {
    bool network = false;
    int fd = -1;
    Rfc2217Connection* connection = nullptr;
    SerialTimeouts timeouts;
    SerialSettings settings;
    SerialPort* older = nullptr;  // ports live until the process ends
};

namespace {

std::string DeviceFolder = ".";
int LastError = 0;
// The port the Ctrl-C handler releases.
std::atomic<SerialPort*> OpenPort{nullptr};
static_assert(std::atomic<SerialPort*>::is_always_lock_free, "read from a signal handler");

constexpr char kNetworkPrefix[] = "rfc2217://";
constexpr uint32_t kForever = 0xFFFFFFFFu;

bool Fail(int error) {
    LastError = error != 0 ? error : EIO;
    return false;
}

uint64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

struct BaudEntry {
    int32_t rate;
    speed_t speed;
};

const BaudEntry kBauds[] = {
    {50, B50},         {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},       {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},     {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

bool SpeedOf(int32_t rate, speed_t* speed) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

int32_t RateOf(speed_t speed) {
    for (const BaudEntry& entry : kBauds) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

// A line without modem control (a pty) has no RTS or DTR: lowering one is done already,
// raising one is a failure.
bool SetModemLine(int fd, int line, bool on) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) {
        return true;
    }
    if (!on && (errno == ENOTTY || errno == EINVAL)) {
        return true;
    }
    return Fail(errno);
}

// Time-out of a one-byte transfer in ms, kForever for none; as the Win32 total time-outs.
uint32_t ReadTimeoutMs(const SerialTimeouts& t) {
    if (t.ReadIntervalTimeout == kForever && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        return 0;  // return at once with what is there
    }
    uint64_t total = uint64_t{t.ReadTotalTimeoutMultiplier} + t.ReadTotalTimeoutConstant;
    if (total == 0) {
        return kForever;
    }
    return total >= kForever ? kForever - 1 : static_cast<uint32_t>(total);
}

uint32_t WriteTimeoutMs(const SerialTimeouts& t) {
    uint64_t total = uint64_t{t.WriteTotalTimeoutMultiplier} + t.WriteTotalTimeoutConstant;
    if (total == 0) {
        return kForever;
    }
    return total >= kForever ? kForever - 1 : static_cast<uint32_t>(total);
}

// Waits for `events` on the port up to timeoutMs. Returns 1 when ready, 0 on time-out,
// -1 on failure (LastError set). A hang-up is a failure.
int WaitFor(int fd, short events, uint32_t timeoutMs) {
    const uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs != kForever) {
            uint64_t now = NowMs();
            wait = now >= deadline ? 0 : static_cast<int>(deadline - now);
        }
        struct pollfd pfd = {fd, events, 0};
        int ready = poll(&pfd, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail(errno);
            return -1;
        }
        if (ready == 0) {
            return 0;
        }
        if (pfd.revents & events) {
            return 1;
        }
        Fail(pfd.revents & POLLNVAL ? EBADF : EIO);
        return -1;
    }
}

// Fills the record from the tty's termios; the RTS/DTR modes are kept as last set.
bool ReadTtySettings(SerialPort* port, SerialSettings* settings) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) {
        return Fail(errno);
    }
    SerialSettings s = port->settings;
    s.BaudRate = RateOf(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            s.ByteSize = 5;
            break;
        case CS6:
            s.ByteSize = 6;
            break;
        case CS7:
            s.ByteSize = 7;
            break;
        default:
            s.ByteSize = 8;
            break;
    }
    s.Parity = !(tio.c_cflag & PARENB) ? 0 : (tio.c_cflag & PARODD) ? 1 : 2;
    s.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    s.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    s.fOutX = (tio.c_iflag & IXON) != 0;
    s.fInX = (tio.c_iflag & IXOFF) != 0;
    if (s.fOutxCtsFlow) {
        s.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (s.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        s.fRtsControl = RTS_CONTROL_ENABLE;
    }
    *settings = s;
    return true;
}

bool ApplyTtySettings(SerialPort* port, const SerialSettings& s) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) {
        return Fail(errno);
    }
    speed_t speed;
    if (!SpeedOf(s.BaudRate, &speed)) {
        return Fail(EINVAL);
    }
    tcflag_t size;
    switch (s.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return Fail(EINVAL);
    }
    // Raw bytes, no echo, no signals, no output processing.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | CLOCAL | CREAD;
    switch (s.Parity) {
        case 0:
            break;
        case 1:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio.c_cflag |= PARENB;
            break;
        default:
            return Fail(EINVAL);  // mark and space parity are not offered
    }
    if (s.StopBits == 2) {
        tio.c_cflag |= CSTOPB;
    } else if (s.StopBits != 0) {
        return Fail(EINVAL);
    }
    const bool handshake = s.fRtsControl == RTS_CONTROL_HANDSHAKE || s.fOutxCtsFlow;
    if (handshake) {
        tio.c_cflag |= CRTSCTS;
    }
    if (s.fOutX) {
        tio.c_iflag |= IXON;
    }
    if (s.fInX) {
        tio.c_iflag |= IXOFF;
    }
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return Fail(errno);
    }
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) {
        return Fail(errno);
    }
    // With the handshake the driver drives RTS; it starts raised (room to receive).
    const bool rts = s.fRtsControl != RTS_CONTROL_DISABLE;
    if (!SetModemLine(port->fd, TIOCM_RTS, rts) ||
        !SetModemLine(port->fd, TIOCM_DTR, s.fDtrControl != DTR_CONTROL_DISABLE)) {
        return false;
    }
    port->settings = s;
    return true;
}

SerialPort* OpenTty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        Fail(errno);
        return nullptr;
    }
    int error = 0;
    // TIOCEXCL keeps other opens out (not root's); the lock stops a second loader always.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        error = errno;
    } else {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            error = errno;
        }
    }
    struct termios tio;
    if (error == 0 && tcgetattr(fd, &tio) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        Fail(error);
        return nullptr;
    }
    SerialPort* port = new SerialPort;
    port->fd = fd;
    // Raw 8N1 at the rate the port has, lines left as they are until settings come.
    SerialSettings s;
    s.BaudRate = RateOf(cfgetospeed(&tio));
    if (s.BaudRate == 0) {
        s.BaudRate = 38400;
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        s.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        s.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    }
    if (!ApplyTtySettings(port, s)) {
        close(fd);
        delete port;
        return nullptr;
    }
    return port;
}

SerialPort* OpenNetwork(const char* unixPath, const char* host, const char* service) {
    int error = 0;
    Rfc2217Connection* connection = Rfc2217Open(unixPath, host, service, &error);
    if (connection == nullptr) {
        Fail(error);
        return nullptr;
    }
    SerialPort* port = new SerialPort;
    port->network = true;
    port->connection = connection;
    port->settings.BaudRate = 38400;
    return port;
}

// "rfc2217://HOST:PORT", HOST possibly "[v6 address]", anything after a '/' ignored.
SerialPort* OpenNetworkUrl(const std::string& url) {
    std::string rest = url.substr(sizeof(kNetworkPrefix) - 1);
    rest = rest.substr(0, rest.find('/'));
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size()) {
        Fail(EINVAL);
        return nullptr;
    }
    std::string host = rest.substr(0, colon);
    std::string service = rest.substr(colon + 1);
    // A port number, 1 to 65535: a name or a wider number would reach another service.
    bool digits =
        service.size() <= 5 && service.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(service) < 1 || std::stoi(service) > 65535) {
        Fail(EINVAL);
        return nullptr;
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return OpenNetwork(nullptr, host.c_str(), service.c_str());
}

}  // namespace

void SerialSetDeviceFolder(const char* folder) {
    DeviceFolder = (folder != nullptr && folder[0] != '\0') ? folder : ".";
}

SerialPort* SerialOpen(const char* deviceName) {
    PlatformInstallExitHandlers();
    std::string path = DeviceFolder;
    if (path.back() != '/') {
        path += '/';
    }
    path += deviceName;
    struct stat entry;
    if (lstat(path.c_str(), &entry) != 0) {
        Fail(errno);
        return nullptr;
    }
    SerialPort* port = nullptr;
    bool opened = false;
    if (S_ISLNK(entry.st_mode)) {
        char target[4096];
        ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
        if (length < 0) {
            Fail(errno);
            return nullptr;
        }
        target[length] = '\0';
        if (strncmp(target, kNetworkPrefix, sizeof(kNetworkPrefix) - 1) == 0) {
            port = OpenNetworkUrl(target);
            opened = true;
        }
    }
    if (!opened) {
        struct stat device;
        if (stat(path.c_str(), &device) != 0) {
            Fail(errno);  // a symlink to a device that is not there: ENOENT
            return nullptr;
        }
        port =
            S_ISSOCK(device.st_mode) ? OpenNetwork(path.c_str(), nullptr, nullptr) : OpenTty(path);
    }
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
    if (port->network) {
        int error = 0;
        return Rfc2217Purge(port->connection, purgeFlags, &error) || Fail(error);
    }
    const bool input = (purgeFlags & (PURGE_RXABORT | PURGE_RXCLEAR)) != 0;
    const bool output = (purgeFlags & (PURGE_TXABORT | PURGE_TXCLEAR)) != 0;
    if (!input && !output) {
        return true;
    }
    int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(port->fd, queue) == 0 || Fail(errno);
}

bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts) {
    port->timeouts = timeouts;
    return true;
}

bool SerialGetSettings(SerialPort* port, SerialSettings* settings) {
    if (port->network) {
        *settings = port->settings;
        return true;
    }
    return ReadTtySettings(port, settings);
}

bool SerialSetSettings(SerialPort* port, const SerialSettings& settings) {
    if (port->network) {
        int error = 0;
        if (!Rfc2217Apply(port->connection, settings, &error)) {
            return Fail(error);
        }
        port->settings = settings;
        return true;
    }
    return ApplyTtySettings(port, settings);
}

bool SerialSetRts(SerialPort* port, bool on) {
    if (port->network) {
        int error = 0;
        return Rfc2217SetRts(port->connection, on, &error) || Fail(error);
    }
    return SetModemLine(port->fd, TIOCM_RTS, on);
}

bool SerialGetCts(SerialPort* port, bool* on) {
    if (port->network) {
        int error = 0;
        return Rfc2217GetCts(port->connection, on, &error) || Fail(error);
    }
    int lines = 0;
    if (ioctl(port->fd, TIOCMGET, &lines) != 0) {
        return Fail(errno);
    }
    *on = (lines & TIOCM_CTS) != 0;
    return true;
}

bool SerialQueuedInput(SerialPort* port, uint32_t* count) {
    if (port->network) {
        int error = 0;
        return Rfc2217QueuedInput(port->connection, count, &error) || Fail(error);
    }
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
        return Fail(errno);
    }
    *count = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    return true;
}

namespace {

// What is left of a wait that ends at `deadline` (kForever never ends).
uint32_t TimeLeftMs(uint64_t deadline, uint32_t timeoutMs) {
    if (timeoutMs == kForever) {
        return kForever;
    }
    const uint64_t now = NowMs();
    return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
}

// The network client takes a negative wait for "no limit".
int NetworkWaitMs(uint32_t timeoutMs) {
    return timeoutMs == kForever ? -1 : static_cast<int>(timeoutMs);
}

}  // namespace

bool SerialRead(SerialPort* port, uint8_t* byte, uint32_t* got) {
    *got = 0;
    const uint32_t timeoutMs = ReadTimeoutMs(port->timeouts);
    if (port->network) {
        int error = 0;
        const int wait = NetworkWaitMs(timeoutMs);
        return Rfc2217Read(port->connection, byte, got, wait, &error) || Fail(error);
    }
    const uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const uint32_t left = TimeLeftMs(deadline, timeoutMs);
        int ready = WaitFor(port->fd, POLLIN, left);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            return true;  // time-out: no byte, no failure
        }
        ssize_t n = read(port->fd, byte, 1);
        if (n == 1) {
            *got = 1;
            return true;
        }
        if (n == 0) {
            return Fail(EIO);  // the line hung up
        }
        if (errno != EINTR && errno != EAGAIN) {
            return Fail(errno);
        }
    }
}

bool SerialWrite(SerialPort* port, uint8_t byte, uint32_t* written) {
    *written = 0;
    const uint32_t timeoutMs = WriteTimeoutMs(port->timeouts);
    if (port->network) {
        int error = 0;
        const int wait = NetworkWaitMs(timeoutMs);
        bool ctsFlow = port->settings.fOutxCtsFlow;
        return Rfc2217Write(port->connection, byte, written, ctsFlow, wait, &error) || Fail(error);
    }
    const uint64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const uint32_t left = TimeLeftMs(deadline, timeoutMs);
        int ready = WaitFor(port->fd, POLLOUT, left);
        if (ready < 0) {
            return false;
        }
        if (ready == 0) {
            return true;  // time-out: the byte is dropped
        }
        ssize_t n = write(port->fd, &byte, 1);
        if (n == 1) {
            *written = 1;
            return true;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return Fail(errno);
        }
    }
}

int SerialLastError() {
    return LastError;
}

void SerialReleaseLinesForExit() {
    SerialPort* port = OpenPort.load();
    if (port == nullptr) {
        return;
    }
    if (port->network) {
        Rfc2217ReleaseLinesForExit(port->connection);
        return;
    }
    struct termios tio;
    if (tcgetattr(port->fd, &tio) == 0) {
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        tcsetattr(port->fd, TCSANOW, &tio);
    }
    int rts = TIOCM_RTS;
    ioctl(port->fd, TIOCMBIC, &rts);
}
