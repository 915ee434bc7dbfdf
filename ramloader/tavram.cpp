// The RAM loader's run: the shared run steps with the RAM download.
#include "ramloader/tavram.h"

#include <cstdio>

#include "driver/run_steps.h"
#include "link/link.h"
#include "ramloader/ram_protocol.h"

namespace {

void PrintTavramUsage() {
    printf("Extended Tektronix Hex Object Format\n\n");
    printf("Usage: TAVRAM <Source> [-C<n>]\n\n");
    printf("Source  - Filename Without Extension\n");
    printf("         (Default Extension Is .X0...X3)\n");
    printf("-C<n>   - Desired COM Port (1..4, Default = 1)\n\n");
    printf("Autodetect Baudrate Is %d Or %d Baud\n\n", kBaudLow, kBaudHigh);
    printf("Current Settings: PORT = COM%d, BAUD = %d\n\n", State.PortNumber, State.CurrentBaud);
}

const LoaderRun kRamRun = {
    PrintTavramUsage,
    nullptr,  // PORT and BAUD only
    "Veltara C3x DSP Family Speed RAM-Loader For WIN-NT/2000",
    "TAVRAM",
    kRamSyncByte,
    nullptr,        // nothing before the lane files are opened
    nullptr,        // nothing before the first record
    SendRamRecord,  // the termination record's start packet starts the program
    nullptr,
};

}  // namespace

int TavramMain(int argc, char** argv) {
    RunLoader(kRamRun, argc, argv);
}
