// Date stamp of a program: the .X0 file's modification time, field by field.
#include "flashloader/date_stamp.h"

#include "link/link.h"
#include "platform/files.h"

void TakeDateStamp(const char* x0Name, DateStamp* stamp) {
    FileTime time;
    if (!PlatformFileTime(x0Name, &time)) {
        switch (PlatformFileTimeFailure()) {
            case FileTimeOpenFailed:
                EndRun(kExitFailure, nullptr, "\nCan't Open File %s\n", x0Name);
            case FileTimeStatusFailed:
                EndRun(kExitFailure, nullptr, "\nInvalid Handle At File %s\n", x0Name);
            case FileTimeConvertFailed:
                EndRun(kExitFailure, nullptr, "\nCan't Convert The Time Of File %s\n", x0Name);
        }
    }
    *stamp = {time.day, time.month, time.year % 100, time.hour, time.minute, time.second};
}
