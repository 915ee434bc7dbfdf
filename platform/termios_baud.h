// The line rates termios names, shared by the serial port and the pty master so the table
// lives in one place. POSIX only.
#pragma once

#include <termios.h>

#include <cstdint>

struct TermiosBaud {
    int32_t rate;
    speed_t speed;
};

inline constexpr TermiosBaud kTermiosBauds[] = {
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

// False for a rate termios has no name for.
inline bool TermiosSpeedOf(int32_t rate, speed_t* speed) {
    for (const TermiosBaud& entry : kTermiosBauds) {
        if (entry.rate == rate) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// 0 for a speed not in the table (B0 among them).
inline int32_t TermiosRateOf(speed_t speed) {
    for (const TermiosBaud& entry : kTermiosBauds) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}
