// Date stamp of a program: the .X0 file's modification time, field by field.
#include "flashloader/date_stamp.h"

#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "platform/files.h"

namespace {

constexpr size_t kTimeTextSize = 32;  // 24 characters, "\n" and the terminator, with room

const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// A character of the text, or NUL behind its end, so a short text never reads past it.
char CharAt(const char* text, size_t length, size_t position) {
    return position < length ? text[position] : '\0';
}

// The two characters at `position` converted as "%2d"; false when they hold no number.
bool ReadTwoDigitField(const char* text, size_t length, size_t position, int32_t* value) {
    char field[3] = {CharAt(text, length, position), CharAt(text, length, position + 1), '\0'};
    int number = 0;
    if (sscanf(field, "%2d", &number) != 1) {
        return false;
    }
    *value = number;
    return true;
}

}  // namespace

const char* ParseFileTimeText(const char* text, DateStamp* stamp) {
    size_t length = strlen(text);
    char monthName[4] = {CharAt(text, length, 4), CharAt(text, length, 5), CharAt(text, length, 6),
                         '\0'};
    int32_t month = 0;
    for (int32_t i = 0; i < 12; ++i) {
        if (strcmp(monthName, kMonthNames[i]) == 0) {
            month = i + 1;
            break;
        }
    }
    if (month == 0) {
        return "\nError At File Date In .X0 File\n";
    }
    stamp->month = month;

    struct Field {
        size_t position;
        int32_t* value;
        const char* message;
    };
    const Field fields[] = {
        {8, &stamp->day, "\nError At Day In .X0 File\n"},
        {11, &stamp->hour, "\nError At Hour In .X0 File\n"},
        {14, &stamp->minute, "\nError At Minute In .X0 File\n"},
        {17, &stamp->second, "\nError At Second In .X0 File\n"},
        {22, &stamp->year, "\nError At Year In .X0 File\n"},
    };
    for (const Field& field : fields) {
        if (!ReadTwoDigitField(text, length, field.position, field.value)) {
            return field.message;
        }
    }
    return nullptr;
}

void TakeDateStamp(const char* x0Name, DateStamp* stamp) {
    char text[kTimeTextSize] = {};
    if (!PlatformFileTimeText(x0Name, text, sizeof text)) {
        switch (PlatformFileTimeFailure()) {
            case FileTimeOpenFailed:
                EndRun(kExitFailure, nullptr, "\nCan't Open File %s\n", x0Name);
            case FileTimeStatusFailed:
                EndRun(kExitFailure, nullptr, "\nInvalid Handle At File %s\n", x0Name);
            case FileTimeConvertFailed:
                EndRun(kExitFailure, nullptr, "\nCan't Convert The Time Of File %s\n", x0Name);
        }
    }
    const char* message = ParseFileTimeText(text, stamp);
    if (message != nullptr) {
        EndRun(kExitFailure, nullptr, "%s", message);
    }
}
