// A serial port that is a tty (or a symlink to one), through termios. Every transfer is one
// byte per system call, as on a real port.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/serial_posix_internal.h"
#include "platform/termios_baud.h"

namespace {

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
    return SerialFail(errno);
}

// USB serial adapters hold received bytes up to their latency timer (16 ms by default on
// Linux), and Save mode waits for an echo per byte: ask the driver to pass them on at once.
// A port that knows no such setting (a pty, or a port we may not change) refuses; that is
// no failure.
void RequestLowLatency(int fd) {
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    struct serial_struct info;
    if (ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
        info.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &info);
    }
#else
    (void)fd;
#endif
}

// Waits for `events` on the port until the deadline; *ready stays false when the time ran
// out. A hang-up is a failure.
bool WaitFor(int fd, short events, const Deadline& deadline, bool* ready) {
    *ready = false;
    for (;;) {
        struct pollfd pfd = {fd, events, 0};
        int count = poll(&pfd, 1, DeadlinePollMs(deadline));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return SerialFail(errno);
        }
        if (count == 0) {
            return true;
        }
        if (pfd.revents & events) {
            *ready = true;
            return true;
        }
        return SerialFail(pfd.revents & POLLNVAL ? EBADF : EIO);
    }
}

// Fills the record from the tty's termios; the RTS/DTR modes are kept as last set.
bool ReadTtySettings(SerialPort* port, SerialSettings* settings) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) {
        return SerialFail(errno);
    }
    SerialSettings s = port->settings;
    s.BaudRate = TermiosRateOf(cfgetospeed(&tio));
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
        s.fRtsControl = kRtsControlHandshake;
    } else if (s.fRtsControl == kRtsControlHandshake) {
        s.fRtsControl = kRtsControlEnable;
    }
    *settings = s;
    return true;
}

bool ApplyTtySettings(SerialPort* port, const SerialSettings& s) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) != 0) {
        return SerialFail(errno);
    }
    speed_t speed;
    if (!TermiosSpeedOf(s.BaudRate, &speed)) {
        return SerialFail(EINVAL);
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
            return SerialFail(EINVAL);
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
            return SerialFail(EINVAL);  // mark and space parity are not offered
    }
    if (s.StopBits == 2) {
        tio.c_cflag |= CSTOPB;
    } else if (s.StopBits != 0) {
        return SerialFail(EINVAL);
    }
    const bool handshake = s.fRtsControl == kRtsControlHandshake || s.fOutxCtsFlow;
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
        return SerialFail(errno);
    }
    if (tcsetattr(port->fd, TCSANOW, &tio) != 0) {
        return SerialFail(errno);
    }
    // With the handshake the driver drives RTS; it starts raised (room to receive).
    const bool rts = s.fRtsControl != kRtsControlDisable;
    if (!SetModemLine(port->fd, TIOCM_RTS, rts) ||
        !SetModemLine(port->fd, TIOCM_DTR, s.fDtrControl != kDtrControlDisable)) {
        return false;
    }
    port->settings = s;
    return true;
}

bool TtyPurge(SerialPort* port, uint32_t purgeFlags) {
    const bool input = (purgeFlags & (kPurgeRxAbort | kPurgeRxClear)) != 0;
    const bool output = (purgeFlags & (kPurgeTxAbort | kPurgeTxClear)) != 0;
    if (!input && !output) {
        return true;
    }
    int queue = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    return tcflush(port->fd, queue) == 0 || SerialFail(errno);
}

bool TtySetRts(SerialPort* port, bool on) {
    return SetModemLine(port->fd, TIOCM_RTS, on);
}

bool TtyGetCts(SerialPort* port, bool* on) {
    int lines = 0;
    if (ioctl(port->fd, TIOCMGET, &lines) != 0) {
        return SerialFail(errno);
    }
    *on = (lines & TIOCM_CTS) != 0;
    return true;
}

bool TtyQueuedInput(SerialPort* port, uint32_t* count) {
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
        return SerialFail(errno);
    }
    *count = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    return true;
}

// Moves one byte in or out within the time-out. A time-out is no failure: *moved stays 0
// (a read got nothing, a write dropped its byte).
bool TtyMoveByte(SerialPort* port, bool reading, uint8_t* byte, uint32_t* moved,
                 uint64_t timeoutMs) {
    const Deadline deadline = DeadlineIn(timeoutMs);
    for (;;) {
        bool ready = false;
        if (!WaitFor(port->fd, reading ? POLLIN : POLLOUT, deadline, &ready)) {
            return false;
        }
        if (!ready) {
            return true;  // the time-out passed: nothing moved
        }
        ssize_t n = reading ? read(port->fd, byte, 1) : write(port->fd, byte, 1);
        if (n == 1) {
            *moved = 1;
            return true;
        }
        if (n == 0 && reading) {
            return SerialFail(EIO);  // the line hung up
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return SerialFail(errno);
        }
    }
}

bool TtyRead(SerialPort* port, uint8_t* byte, uint32_t* got, uint64_t timeoutMs) {
    return TtyMoveByte(port, true, byte, got, timeoutMs);
}

bool TtyWrite(SerialPort* port, uint8_t byte, uint32_t* written, uint64_t timeoutMs) {
    return TtyMoveByte(port, false, &byte, written, timeoutMs);
}

// Async-signal-safe: tcgetattr, tcsetattr and ioctl only.
void TtyReleaseLinesForExit(SerialPort* port) {
    struct termios tio;
    if (tcgetattr(port->fd, &tio) == 0) {
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        tcsetattr(port->fd, TCSANOW, &tio);
    }
    int rts = TIOCM_RTS;
    ioctl(port->fd, TIOCMBIC, &rts);
}

const SerialOps kTtyOps = {TtyPurge,  ReadTtySettings,       ApplyTtySettings, TtySetRts,
                           TtyGetCts, TtyQueuedInput,        TtyRead,          TtyWrite,
                           nullptr,   TtyReleaseLinesForExit};

}  // namespace

SerialPort* TermiosOpen(int folder, const char* name) {
    int fd = openat(folder, name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SerialFail(errno);
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
        SerialFail(error);
        return nullptr;
    }
    RequestLowLatency(fd);
    SerialPort* port = new SerialPort;
    port->ops = &kTtyOps;
    port->fd = fd;
    // Raw 8N1 at the rate the port has, lines left as they are until settings come.
    SerialSettings s;
    s.BaudRate = TermiosRateOf(cfgetospeed(&tio));
    if (s.BaudRate == 0) {
        s.BaudRate = 38400;
    }
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        s.fRtsControl = (lines & TIOCM_RTS) ? kRtsControlEnable : kRtsControlDisable;
        s.fDtrControl = (lines & TIOCM_DTR) ? kDtrControlEnable : kDtrControlDisable;
    }
    if (!ApplyTtySettings(port, s)) {
        close(fd);
        delete port;
        return nullptr;
    }
    return port;
}
