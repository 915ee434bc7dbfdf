// The flash loader's run: the shared run steps with the date stamp, the MODE setting and
// the flash download.
#include "flashloader/tavfla.h"

#include <cstdio>

#include "driver/run_steps.h"
#include "flashloader/date_stamp.h"
#include "flashloader/download_mode.h"
#include "flashloader/flash_protocol.h"
#include "link/link.h"

namespace {

DateStamp Stamp;

// The stamp is taken before the lane files are opened and before the port is touched.
void TakeProgramStamp() {
    TakeDateStamp(LaneFileNames[0], &Stamp);
}

void OpenProgramFile() {
    StartDownload(ProgramName, Stamp);
}

void CloseAndStartProgram() {
    EndDownload();
    StartTargetProgram();
}

void PrintFlashUsage() {
    printf("Extended Tektronix Hex Object Format\n\n");
    printf("Usage: TAVFLA <Source> [-C<n>] [-M<n>]\n\n");
    printf("Source  - Filename Without Extension\n");
    printf("         (Default Extension Is .X0...X3)\n");
    printf("-C<n>   - Desired COM Port (1..4, Default = 1)\n\n");
    printf("-M<n>   - Download Mode (s = Save, f = Fast; Default = s)\n\n");
    printf("Parameters -C<n> And -M<n> Are Saved On Disk\n\n");
    printf("Autodetect Baudrate Is %d Or %d Baud\n\n", kBaudLow, kBaudHigh);
    printf("Current Settings: PORT = COM%d, BAUD = %d, MODE = %c\n\n", State.PortNumber,
           State.CurrentBaud, static_cast<char>(DownloadMode));
}

const LoaderRun kFlashRun = {
    PrintFlashUsage,
    &kDownloadModeSetting,  // MODE and -M
    "Veltara C3x DSP Family Flash-Loader For WIN-NT/2000",
    "TAVFLA",
    kFlashSyncByte,
    TakeProgramStamp,      // before the lane files are opened
    OpenProgramFile,       // before the first record
    SendFlashRecord,       // one packet per record
    CloseAndStartProgram,  // after the termination record
};

}  // namespace

int TavflaMain(int argc, char** argv) {
    RunLoader(kFlashRun, argc, argv);
}
