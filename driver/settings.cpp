// The settings file (PORT, BAUD and a loader's own line) and the command line.
#include "driver/settings.h"

#include <cerrno>
#include <cstdlib>

#include "driver/names.h"
#include "link/link.h"
#include "platform/files.h"
#include "platform/system.h"

int32_t PortNumber = 1;

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
    SettingsChanged = 1;
}

}  // namespace

void ReadSettingsFile(const LoaderKind& kind) {
    FILE* file = PlatformOpenOwnFileRead(SettingsPath);
    if (file == nullptr) {
        SettingsChanged = 1;
    } else {
        // Each scan goes on where the one before stopped; only a mismatch (0) asks for a
        // rewrite, the end of the file (EOF) does not.
        if (fscanf(file, "PORT=COM%d\n", &PortNumber) == 0) {
            SettingsChanged = 1;
        }
        if (fscanf(file, "BAUD=%d\n", &CurrentBaud) == 0) {
            SettingsChanged = 1;
        }
    }
    if (kind.setting != nullptr) {
        kind.setting->read(file);
    }
    if (file != nullptr) {
        fclose(file);
    }
    if (PortNumber < 1 || PortNumber > 4) {
        PortNumber = 1;
        SettingsChanged = 1;
    }
    if (CurrentBaud != kBaudLow && CurrentBaud != kBaudHigh) {
        CurrentBaud = kBaudHigh;
        SettingsChanged = 1;
    }
}

void WriteSettingsFile(const LoaderKind& kind) {
    char newPath[kPathBufferSize + 32];
    FILE* file = PlatformBeginReplace(SettingsPath, newPath, sizeof newPath);
    if (file == nullptr) {
        // A read-only folder (or an entry that is no regular file) must not stop a download:
        // the run goes on with the settings it has, and the next run finds the same again.
        return;
    }
    fprintf(file, "PORT=COM%d\n", PortNumber);
    fprintf(file, "BAUD=%d\n", CurrentBaud);
    if (kind.setting != nullptr) {
        kind.setting->write(file);
    }
    PlatformFinishReplace(file, newPath, SettingsPath);
}

void ProcessCommandLine(const LoaderKind& kind, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            const char letter = LowerAscii(arg[1]);
            switch (letter) {
                case 'c':
                    ApplyPortOption(arg + 2);
                    break;
                case 'h':
                    kind.printUsage();
                    PlatformExit(0);
                case 'i':
                    Verbose = 1;
                    break;
                default:
                    if (kind.setting != nullptr && letter == kind.setting->optionLetter) {
                        kind.setting->applyOption(arg + 2);
                    }
                    break;
            }
        } else if (arg[0] == '?') {
            kind.printUsage();
            PlatformExit(0);
        } else {
            StoreProgramName(arg);
        }
    }
}

void ReportPortAndSaveSettings(const LoaderKind& kind) {
    printf("Using Port  : COM%d\n", PortNumber);
    // Saved before the name is checked: options of a run that then fails are kept.
    if (SettingsChanged != 0) {
        WriteSettingsFile(kind);
    }
}
