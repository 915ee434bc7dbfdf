// The settings of a run: the settings file (PORT, BAUD and a loader's own line) and the
// command line.
#include "driver/settings.h"

#include <cerrno>
#include <cstdlib>

#include "driver/names.h"
#include "driver/run_steps.h"
#include "link/link.h"
#include "platform/files.h"
#include "platform/system.h"

RunState State;

namespace {

void ApplyPortOption(const char* text) {
    // A decimal read: leading white space and a sign are allowed, anything after the
    // digits is ignored. No digits: the port stays.
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (end != text) {
        const bool inRange = errno == 0 && value >= 1 && value <= 4;
        State.PortNumber = inRange ? static_cast<int32_t>(value) : 1;
    }
    if (State.PortNumber < 1 || State.PortNumber > 4) {
        State.PortNumber = 1;
    }
    State.SettingsChanged = true;
}

}  // namespace

void ReadSettingsFile(const LoaderRun& run) {
    FILE* file = PlatformOpenOwnFileRead(SettingsPath);
    if (file == nullptr) {
        State.SettingsChanged = true;
    } else {
        // Each scan goes on where the one before stopped; only a mismatch (0) asks for a
        // rewrite, the end of the file (EOF) does not.
        if (fscanf(file, "PORT=COM%d\n", &State.PortNumber) == 0) {
            State.SettingsChanged = true;
        }
        if (fscanf(file, "BAUD=%d\n", &State.CurrentBaud) == 0) {
            State.SettingsChanged = true;
        }
    }
    if (run.setting != nullptr && run.setting->read(file)) {
        State.SettingsChanged = true;
    }
    if (file != nullptr) {
        fclose(file);
    }
    if (State.PortNumber < 1 || State.PortNumber > 4) {
        State.PortNumber = 1;
        State.SettingsChanged = true;
    }
    if (State.CurrentBaud != kBaudLow && State.CurrentBaud != kBaudHigh) {
        State.CurrentBaud = kBaudHigh;
        State.SettingsChanged = true;
    }
}

void WriteSettingsFile(const LoaderRun& run) {
    char newPath[kPathBufferSize + 32];
    FILE* file = PlatformBeginReplace(SettingsPath, newPath, sizeof newPath);
    if (file == nullptr) {
        // A read-only folder (or an entry that is no regular file) must not stop a download:
        // the run goes on with the settings it has, and the next run finds the same again.
        return;
    }
    fprintf(file, "PORT=COM%d\n", State.PortNumber);
    fprintf(file, "BAUD=%d\n", State.CurrentBaud);
    if (run.setting != nullptr) {
        run.setting->write(file);
    }
    PlatformFinishReplace(file, newPath, SettingsPath);
}

void ProcessCommandLine(const LoaderRun& run, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            const char letter = LowerAscii(arg[1]);
            switch (letter) {
                case 'c':
                    ApplyPortOption(arg + 2);
                    break;
                case 'h':
                    run.printUsage();
                    PlatformExit(0);
                case 'i':
                    State.Verbose = true;
                    break;
                default:
                    if (run.setting != nullptr && letter == run.setting->optionLetter) {
                        run.setting->applyOption(arg + 2);
                        State.SettingsChanged = true;  // also when the value stays
                    }
                    break;
            }
        } else if (arg[0] == '?') {
            run.printUsage();
            PlatformExit(0);
        } else {
            StoreProgramName(arg);
        }
    }
}

void ReportPortAndSaveSettings(const LoaderRun& run) {
    printf("Using Port  : COM%d\n", State.PortNumber);
    // Saved before the name is checked: options of a run that then fails are kept.
    if (State.SettingsChanged) {
        WriteSettingsFile(run);
    }
}

void SaveSettingsAfterConnection(const LoaderRun& run, const TargetAnswer& answer) {
    State.CurrentBaud = answer.baud;
    if (answer.roundMissed) {
        State.SettingsChanged = true;
    }
    if (State.SettingsChanged) {
        WriteSettingsFile(run);  // now with the rate the target answered at
    }
}
