// The run steps both loaders share, from the banner to the closing lines.
#include "driver/run_steps.h"

#include <string>

#include "driver/driver_testing.h"
#include "hexreader/hexreader.h"
#include "link/link.h"
#include "link/link_testing.h"
#include "link/trace.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

constexpr const char* kCopyright = "(C) 2026 The Tavloader Developers";
constexpr const char* kVersion = "3.0";
constexpr int32_t kDrainPolls = 1000;

}  // namespace

void RunLoader(const LoaderRun& run, int argc, char** argv) {
    State = RunState{};
    ProgramName[0] = '\0';
    TraceStart((std::string(run.startName) + " V " + kVersion).c_str(), argc, argv);
    PrintBanner(run.title);
    FormSettingsPath(argc > 0 && argv[0] != nullptr ? argv[0] : run.startName);
    ReadSettingsFile(run);
    ProcessCommandLine(run, argc, argv);
    ReportPortAndSaveSettings(run);
    ObtainProgramName();
    FormLaneFileNames();
    if (run.beforeOpen != nullptr) {
        run.beforeOpen();
    }
    FILE* lanes[kLaneCount] = {};
    OpenLaneFiles(lanes);
    const uint32_t downloadStart = ConnectForDownload(run);
    if (run.beforeRecords != nullptr) {
        run.beforeRecords();
    }
    const uint32_t entryAddress = LoadAllRecords(lanes, run.sendRecord);
    if (run.afterRecords != nullptr) {
        run.afterRecords();
    }
    FinishDownload(lanes, entryAddress, downloadStart);
}

void PrintBanner(const char* title) {
    printf("\n%s V %s %s\n\n", title, kVersion, kCopyright);
}

void OpenLaneFiles(FILE* lanes[kLaneCount]) {
    for (int lane = 0; lane < kLaneCount; ++lane) {
        lanes[lane] = PlatformOpenRead(LaneFileNames[lane]);
        if (lanes[lane] == nullptr) {
            EndRun(kExitFailure, nullptr, "\nCan't Open File %s\n", LaneFileNames[lane]);
        }
        printf("Loading File: %s\n", LaneFileNames[lane]);
    }
}

uint32_t ConnectForDownload(const LoaderRun& run) {
    OpenComPort(State.PortNumber, State.CurrentBaud);
    const uint32_t connectStart = PlatformMilliseconds();
    State.Answer = ConnectTarget(run.syncByte, State.CurrentBaud, State.Verbose);
    const uint32_t connectEnd = PlatformMilliseconds();
    if (State.Verbose) {
        printf("\nTarget Connected In %3.0f Milliseconds, %d Attempt(s) Required\n",
               static_cast<double>(static_cast<uint32_t>(connectEnd - connectStart)),
               State.Answer.attempts);
    }
    printf("\nConnected To Target\n");
    const uint32_t downloadStart = PlatformMilliseconds();
    SaveSettingsAfterConnection(run, State.Answer);
    // Stale bytes from the handshake must not be taken for the first answer.
    for (int32_t poll = 0; poll < kDrainPolls; ++poll) {
        if (ReceiveReady() != 0) {
            ReceiveWait();
        }
    }
    return downloadStart;
}

void FinishDownload(FILE* lanes[kLaneCount], uint32_t entryAddress, uint32_t downloadStartMs) {
    printf("\n%s Started At Address %06lX(HEX)\n", ProgramName,
           static_cast<unsigned long>(entryAddress));
    for (int lane = 0; lane < kLaneCount; ++lane) {
        fclose(lanes[lane]);
        lanes[lane] = nullptr;
    }
    const uint32_t elapsed = PlatformMilliseconds() - downloadStartMs;
    EndRun(kExitSuccess, nullptr, "\nDownload Time = %3.1f Seconds\n", elapsed / 1000.0);
}

void ResetDriverState() {
    State = RunState{};
    BytesLoaded = 0;
    ResetSerialDriverState();
    ResetHexReader();
    ProgramName[0] = '\0';
    SettingsPath[0] = '\0';
    for (auto& name : LaneFileNames) {
        name[0] = '\0';
    }
}
