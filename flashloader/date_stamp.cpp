// Date stamp of a program: the .X0 file's modification time, field by field.
#include "flashloader/date_stamp.h"

#include "link/trace.h"
#include "platform/files.h"
#include "platform/system.h"

void TakeDateStamp(const char* x0Name, DateStamp* stamp) {
    FileTime time;
    if (!PlatformFileTime(x0Name, &time)) {
        switch (PlatformFileTimeFailure()) {
            case FileTimeOpenFailed:
                PrintExitMessage("\nCan't Open File %s\n", x0Name);
                PlatformExit(2);
            case FileTimeStatusFailed:
                PrintExitMessage("\nInvalid Handle At File %s\n", x0Name);
                PlatformExit(2);
            case FileTimeConvertFailed:
                PrintExitMessage("\nCan't Convert The Time Of File %s\n", x0Name);
                PlatformExit(2);
        }
    }
    *stamp = {time.day, time.month, time.year % 100, time.hour, time.minute, time.second};
}
