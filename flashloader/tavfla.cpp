// The flash loader's run: the shared run steps with the date stamp, the MODE setting and
// the flash download.
#include "flashloader/tavfla.h"

#include <cstdio>
#include <cstring>

#include "driver/run_steps.h"
#include "flashloader/date_stamp.h"
#include "flashloader/download_mode.h"
#include "flashloader/flash_protocol.h"
#include "hexreader/hexreader.h"
#include "link/link.h"
#include "platform/files.h"

namespace {

DateStamp Stamp;

// The stamp is taken before the lane files are opened and before the port is touched.
void TakeProgramStamp() {
    TakeDateStamp(LaneFileNames[0], &Stamp);
}

// The exchanges of a Save-mode download, each one round trip: every byte of every packet
// waits for its echo (a packet's checksum and result come right after its last echo). The
// data packets come from a first pass over lane files opened for it (the download's own
// pass starts afresh).
uint64_t SaveModeExchanges() {
    const uint64_t nameBytes = strlen(ProgramName) + 1;
    // Start download (command, name, date stamp), start address, end download, start program.
    uint64_t exchanges = (1 + nameBytes + 7) + 4 + 1 + 1;
    FILE* lanes[kLaneCount] = {};
    bool open = true;
    for (int lane = 0; lane < kLaneCount; ++lane) {
        lanes[lane] = PlatformOpenRead(LaneFileNames[lane]);
        open = open && lanes[lane] != nullptr;
    }
    HexRecord record;
    ReaderError error;
    // A format error is the download's to report; the count stops there.
    while (open && ReadHexRecord(lanes, &record, &error) == ReadResult::Record) {
        if (record.blockType == kBlockTypeData) {
            exchanges += DataPacketLength(record);
        }
    }
    for (FILE* lane : lanes) {
        if (lane != nullptr) {
            fclose(lane);
        }
    }
    ResetHexReader();
    return exchanges;
}

// Save mode through a network port pays a round trip per byte, which the line alone does
// not show: one line on standard error says what it costs this program.
void NoteSaveModeOverNetwork() {
    const SerialDelays delays = PortDelays();
    if (DownloadMode != kSaveMode || !delays.network) {
        return;
    }
    // Each exchange: a round trip, and a byte's 10 bits each way on the line.
    const double seconds =
        SaveModeExchanges() * (delays.roundTripMs / 1000.0 + 20.0 / State.CurrentBaud);
    char expected[32];
    if (seconds < 1.5) {
        snprintf(expected, sizeof expected, "1 second");
    } else if (seconds < 120) {
        snprintf(expected, sizeof expected, "%.0f seconds", seconds);
    } else {
        snprintf(expected, sizeof expected, "%.0f minutes", seconds / 60);
    }
    fprintf(stderr,
            "Note: COM%d is a network port with a round trip of %u ms. Save mode waits that long "
            "for the echo of every byte: this program takes about %s. Fast mode (-Mf) avoids "
            "the wait.\n",
            State.PortNumber, delays.roundTripMs, expected);
}

void OpenProgramFile() {
    NoteSaveModeOverNetwork();
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
