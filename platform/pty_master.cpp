// The master side of a pty for the simulated board: opening it, raw mode, the line's rate.
#include "platform/pty_master.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "platform/termios_baud.h"

int PtyMasterOpen(std::string* slavePath) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        return -1;
    }
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
        const int error = errno;
        close(master);
        errno = error;
        return -1;
    }
    *slavePath = name;
    return master;
}

bool PtyMasterMakeRaw(int master) {
    termios tio;
    if (tcgetattr(master, &tio) != 0) {
        return false;
    }
    const speed_t speed = cfgetospeed(&tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    return cfsetspeed(&tio, speed) == 0 && tcsetattr(master, TCSANOW, &tio) == 0;
}

bool PtyMasterReadLine(int master, PtyMasterLine* line) {
    termios tio;
    if (tcgetattr(master, &tio) != 0) {
        return false;
    }
    line->baud = TermiosRateOf(cfgetospeed(&tio));
    line->handshake = (tio.c_cflag & CRTSCTS) != 0;
    return true;
}
