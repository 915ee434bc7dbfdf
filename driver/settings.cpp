// The settings of a run: the settings file (PORT, BAUD and a loader's own line) and the
// command line.
#include "driver/settings.h"

#include <cerrno>
#include <cstdlib>

#include "driver/names.h"
#include "driver/run_steps.h"
#include "link/link.h"
#include "platform/files.h"

int32_t PortNumber = 1;
int32_t CurrentBaud = kBaudHigh;
int32_t DownloadMode = 's';
bool SettingsChanged = false;
bool Verbose = false;

namespace {

void ApplyPortOption(const char* text) {
    // A decimal read: leading white space and a sign are allowed, anything after the
    // digits is ignored. No digits: the port stays.
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (end != text) {
        const bool inRange = errno == 0 && value >= 1 && value <= 4;
        PortNumber = inRange ? static_cast<int32_t>(value) : 1;
    }
    if (PortNumber < 1 || PortNumber > 4) {
        PortNumber = 1;
    }
    SettingsChanged = true;
}

}  // namespace

void ReadSettingsFile(const LoaderRun& run) {
    FILE* file = PlatformOpenSettingsRead(SettingsPath);
    if (file == nullptr) {
        SettingsChanged = true;
    } else {
        // Each scan goes on where the one before stopped; only a mismatch (0) asks for a
        // rewrite, the end of the file (EOF) does not.
        if (fscanf(file, "PORT=COM%d\n", &PortNumber) == 0) {
            SettingsChanged = true;
        }
        if (fscanf(file, "BAUD=%d\n", &CurrentBaud) == 0) {
            SettingsChanged = true;
        }
    }
    if (run.setting != nullptr) {
        run.setting->read(file);
    }
    if (file != nullptr) {
        fclose(file);
    }
    if (PortNumber < 1 || PortNumber > 4) {
        PortNumber = 1;
        SettingsChanged = true;
    }
    if (CurrentBaud != kBaudLow && CurrentBaud != kBaudHigh) {
        CurrentBaud = kBaudHigh;
        SettingsChanged = true;
    }
}

void WriteSettingsFile(const LoaderRun& run) {
    FILE* file = PlatformBeginSettingsWrite(SettingsPath);
    if (file == nullptr) {
        // A read-only folder (or an entry that is no regular file) must not stop a download:
        // the run goes on with the settings it has, and the next run finds the same again.
        return;
    }
    fprintf(file, "PORT=COM%d\n", PortNumber);
    fprintf(file, "BAUD=%d\n", CurrentBaud);
    if (run.setting != nullptr) {
        run.setting->write(file);
    }
    PlatformFinishSettingsWrite(file);
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
                    EndRun(kExitSuccess, nullptr, nullptr);
                case 'i':
                    Verbose = true;
                    break;
                default:
                    if (run.setting != nullptr && letter == run.setting->optionLetter) {
                        run.setting->applyOption(arg + 2);
                    }
                    break;
            }
        } else if (arg[0] == '?') {
            run.printUsage();
            EndRun(kExitSuccess, nullptr, nullptr);
        } else {
            StoreProgramName(arg);
        }
    }
}

void ReportPortAndSaveSettings(const LoaderRun& run) {
    printf("Using Port  : COM%d\n", PortNumber);
    // Saved before the name is checked: options of a run that then fails are kept.
    if (SettingsChanged) {
        WriteSettingsFile(run);
    }
}
