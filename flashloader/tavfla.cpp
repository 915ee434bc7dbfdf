#include "flashloader/tavfla.h"

#include <cstdio>

#include "flashloader/date_stamp.h"
#include "flashloader/flash_protocol.h"
#include "link/link.h"
#include "ramloader/loader_driver.h"

namespace {

const LoaderKind kFlashLoader = {true, PrintFlashUsage};

}  // namespace

void PrintFlashUsage() {
    printf("Extended Tektronix Hex Object Format\n\n");
    printf("Usage: TAVFLA <Source> [-C<n>] [-M<n>]\n\n");
    printf("Source  - Filename Without Extension\n");
    printf("         (Default Extension Is .X0...X3)\n");
    printf("-C<n>   - Desired COM Port (1..4, Default = 1)\n\n");
    printf("-M<n>   - Download Mode (s = Save, f = Fast; Default = s)\n\n");
    printf("Parameters -C<n> And -M<n> Are Saved On Disk\n\n");
    printf("Autodetect Baudrate Is %d Or %d Baud\n\n", kBaudLow, kBaudHigh);
    printf("Current Settings: PORT = COM%d, BAUD = %d, MODE = %c\n\n", PortNumber, CurrentBaud,
           static_cast<char>(DownloadMode));
}

int TavflaMain(int argc, char** argv) {
    ProgramName[0] = '\0';
    PrintBanner("Veltara C3x DSP Family Flash-Loader For WIN-NT/2000");

    FormSettingsPath(argc > 0 && argv[0] != nullptr ? argv[0] : "TAVFLA");
    ReadSettingsFile(kFlashLoader);
    ProcessCommandLine(kFlashLoader, argc, argv);

    ReportPortAndSaveSettings(kFlashLoader);

    ObtainProgramName();
    FormLaneFileNames();
    // The stamp is taken before the lane files are opened and before the port is touched.
    DateStamp stamp;
    TakeDateStamp(LaneFileNames[0], &stamp);

    FILE* lanes[4] = {};
    OpenLaneFiles(lanes);
    uint32_t downloadStartMs = ConnectForDownload(kFlashLoader);

    StartDownload(ProgramName, stamp.day, stamp.month, stamp.year, stamp.hour, stamp.minute,
                  stamp.second, 1);
    LoadToFlash(lanes);
    EndDownload();
    StartTargetProgram();
    FinishDownload(lanes, downloadStartMs);
}
