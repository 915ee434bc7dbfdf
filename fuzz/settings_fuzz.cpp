// The settings file and the command line of both loaders. The input's first byte picks the
// loader; the rest, split at NUL bytes, is the settings file's text and then the arguments.
// Properties: settings are always valid after reading; a file read without a rewrite
// request reads back the same after a write; the run stops only with code 0 for the usage
// text (-H or ?) and code 2 for a refused name; names and lane files are upper-cased.
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "driver/driver_testing.h"
#include "driver/names.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "flashloader/download_mode.h"
#include "fuzz_support.h"
#include "link/link.h"

namespace {

void NoUsage() {}
const LoaderRun kRam = {NoUsage, nullptr};
const LoaderRun kFlash = {NoUsage, &kDownloadModeSetting};

std::string Folder;

struct Settings {
    int32_t port;
    int32_t baud;
    int32_t mode;
    bool operator==(const Settings& o) const {
        return port == o.port && baud == o.baud && mode == o.mode;
    }
};

bool IsKnownMode(const LoaderRun& kind) {
    return kind.setting == nullptr || DownloadMode == 's' || DownloadMode == 'f';
}

Settings ReadAndCheck(const LoaderRun& kind) {
    ReadSettingsFile(kind);
    Expect(State.PortNumber >= 1 && State.PortNumber <= 4, "port is 1 to 4");
    Expect(State.CurrentBaud == kBaudLow || State.CurrentBaud == kBaudHigh,
           "baud is 38400 or 115200");
    Expect(IsKnownMode(kind), "mode is s or f");
    return {State.PortNumber, State.CurrentBaud, kind.setting != nullptr ? DownloadMode : 0};
}

void RemoveFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(Folder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceConsole();
    // A memory file system where there is one: every input writes the file a few times.
    for (const char* base : {"/dev/shm", "/tmp"}) {
        std::string pattern = std::string(base) + "/tavfuzz_settingsXXXXXX";
        if (Folder.empty() && mkdtemp(&pattern[0]) != nullptr) {
            Folder = pattern;
        }
    }
    Expect(!Folder.empty(), "scratch folder");
    atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const LoaderRun& kind = (data[0] & 1) != 0 ? kFlash : kRam;
    std::vector<std::string> parts(1);
    for (size_t i = 1; i < size && parts.size() <= 9; ++i) {
        if (data[i] == 0) {
            parts.emplace_back();
        } else {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    FakeReset();
    ResetDriverState();
    clearerr(stdin);
    const std::string start = Folder + "/tavram";
    FormSettingsPath(start.c_str());
    {
        std::ofstream file(SettingsPath, std::ios::binary | std::ios::trunc);
        file << parts[0];
    }

    const Settings read = ReadAndCheck(kind);
    if (!State.SettingsChanged) {
        WriteSettingsFile(kind);
        ResetDriverState();
        FormSettingsPath(start.c_str());
        State.CurrentBaud = kBaudHigh;
        Expect(ReadAndCheck(kind) == read, "a written file reads back the same");
        Expect(!State.SettingsChanged, "a written file asks for no rewrite");
    }

    // What the arguments must do: the first -H or ? ends with code 0, a name that is too
    // long with code 2; the last name wins.
    std::vector<char*> argv = {&parts[0][0]};
    int expectedExit = -1;
    std::string expectedName;
    for (size_t i = 1; i < parts.size(); ++i) {
        argv.push_back(&parts[i][0]);
        const std::string& arg = parts[i];
        if (expectedExit != -1) {
            continue;
        }
        if (arg[0] == '?' || (arg[0] == '-' && UpperAscii(arg[1]) == 'H')) {
            expectedExit = 0;
        } else if (arg[0] != '-') {
            expectedName.clear();
            for (char c : arg) {
                expectedName += UpperAscii(c);
            }
            if (expectedName.size() > kMaxProgramName) {
                expectedExit = 2;
            }
        }
    }
    const int code = RunCatchingExit(
        [&] { ProcessCommandLine(kind, static_cast<int>(argv.size()), argv.data()); });
    Expect(code == expectedExit, "the command line ends the run only for -H, ? or a long name");
    if (code != -1) {
        return 0;
    }
    Expect(State.PortNumber >= 1 && State.PortNumber <= 4, "port is 1 to 4 after the options");
    Expect(IsKnownMode(kind), "mode is s or f");
    Expect(expectedName == ProgramName, "the last name is taken, upper-cased");

    // With no name the prompt meets an empty input; a "." is refused.
    const int named = RunCatchingExit([] {
        ReportPortAndSaveSettings(kRam);
        ObtainProgramName();
    });
    const bool refused = expectedName.empty() || expectedName.find('.') != std::string::npos;
    Expect(named == (refused ? 2 : -1), "an empty name or one with a dot is refused with 2");
    if (named == -1) {
        FormLaneFileNames();
        for (int lane = 0; lane < kLaneCount; ++lane) {
            const std::string wanted = expectedName + ".X" + std::to_string(lane);
            Expect(wanted == LaneFileNames[lane], "lane file names follow the program name");
        }
    }
    Expect(!FakePortOpen(), "no port is opened");
    return 0;
}
