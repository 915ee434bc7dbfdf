// The RAM loader's run: settings, command line, lane files, connection, RAM download.
#include "ramloader/tavram.h"

#include <cstdio>

#include "link/link.h"
#include "ramloader/loader_driver.h"
#include "ramloader/ram_protocol.h"

namespace {

void PrintTavramUsage() {
    printf("Extended Tektronix Hex Object Format\n\n");
    printf("Usage: TAVRAM <Source> [-C<n>]\n\n");
    printf("Source  - Filename Without Extension\n");
    printf("         (Default Extension Is .X0...X3)\n");
    printf("-C<n>   - Desired COM Port (1..4, Default = 1)\n\n");
    printf("Autodetect Baudrate Is %d Or %d Baud\n\n", kBaudLow, kBaudHigh);
    printf("Current Settings: PORT = COM%d, BAUD = %d\n\n", PortNumber, CurrentBaud);
}

const LoaderKind kRamLoader = {false, PrintTavramUsage};

}  // namespace

int TavramMain(int argc, char** argv) {
    ProgramName[0] = '\0';
    PrintBanner("Veltara C3x DSP Family Speed RAM-Loader For WIN-NT/2000");
    FormSettingsPath(argc > 0 && argv[0] != nullptr ? argv[0] : "TAVRAM");
    ReadSettingsFile(kRamLoader);
    ProcessCommandLine(kRamLoader, argc, argv);
    ReportPortAndSaveSettings(kRamLoader);
    ObtainProgramName();
    FormLaneFileNames();
    FILE* lanes[4] = {};
    OpenLaneFiles(lanes);
    const uint32_t downloadStart = ConnectForDownload(kRamLoader);
    LoadToRam(lanes);
    FinishDownload(lanes, downloadStart);
}
