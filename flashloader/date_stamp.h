// Date stamp of a program: the last modification of its .X0 file in local time, as the
// target's flash file system keeps it.
#pragma once

#include <cstdint>

struct DateStamp {
    int32_t day = 0;
    int32_t month = 0;  // 1 to 12
    int32_t year = 0;   // last two digits
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
};

// The date stamp of `x0Name`; a failure prints its message and ends the process with code 2
// (the port is not open yet).
void TakeDateStamp(const char* x0Name, DateStamp* stamp);
