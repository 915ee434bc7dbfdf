// The run steps both loaders share: settings file, command line, program name, lane files,
// connection and the closing lines.
#include "ramloader/loader_driver.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "hexreader/hexreader.h"
#include "link/link.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/system.h"

int32_t PortNumber = 1;
char ProgramName[kPathBufferSize] = "";
int32_t DownloadMode = 's';
char SettingsPath[kPathBufferSize] = "";
char LaneFileNames[4][kPathBufferSize] = {};

namespace {

constexpr const char* kCopyright = "(C) 2026 The Tavloader Developers";
constexpr int32_t kDrainPolls = 1000;

// Letters a to z only: the name must not depend on the host's locale.
char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Joins two texts into `out`; false (and nothing written) when they do not fit.
bool JoinText(char* out, size_t outSize, const char* first, const char* second) {
    const size_t firstLength = strlen(first);
    const size_t secondLength = strlen(second);
    if (firstLength + secondLength >= outSize) {
        return false;
    }
    memmove(out, first, firstLength);
    memcpy(out + firstLength, second, secondLength + 1);
    return true;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Length of a drive prefix such as "C:" (0 when there is none).
size_t DrivePrefixLength(const char* path) {
    const char c = path[0];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    return (letter && path[1] == ':') ? 2 : 0;
}

// Offset of the last path component: after the drive prefix and the last separator.
size_t LastComponentOffset(const char* path) {
    size_t start = DrivePrefixLength(path);
    for (size_t i = start; path[i] != '\0'; ++i) {
        if (IsSeparator(path[i])) {
            start = i + 1;
        }
    }
    return start;
}

[[noreturn]] void RefuseName() {
    printf("\nProgram Name Too Long (More Than %u Characters)\n",
           static_cast<unsigned>(kMaxProgramName));
    PlatformExit(2);
}

// The start path must leave room for ".EXE" and the terminator.
[[noreturn]] void RefusePath() {
    printf("\nProgram Path Too Long (More Than %u Characters)\n",
           static_cast<unsigned>(kPathBufferSize - 5));
    PlatformExit(2);
}

// Stores an upper-cased program name, refusing one that leaves no room for its extension.
void StoreProgramName(const char* name) {
    if (strlen(name) > kMaxProgramName) {
        RefuseName();
    }
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        ProgramName[i] = UpperAscii(name[i]);
    }
    ProgramName[i] = '\0';
}

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

void ApplyModeOption(const char* text) {
    if (text[0] != '\0') {
        DownloadMode = LowerAscii(text[0]);
        if (DownloadMode != 's' && DownloadMode != 'f') {
            DownloadMode = 's';
        }
    }
    SettingsChanged = 1;
}

// Tells the serial layer where "COM1".."COM4" live: beside the settings file.
void SetDeviceFolderFromSettingsPath() {
    char folder[kPathBufferSize];
    const size_t last = LastComponentOffset(SettingsPath);
    if (last == 0) {
        snprintf(folder, sizeof folder, ".");
    } else {
        size_t length = last;
        // Keep a root or drive separator ("/", "C:\"), drop any other trailing one.
        if (length > 1 && IsSeparator(SettingsPath[length - 1]) &&
            length - 1 > DrivePrefixLength(SettingsPath)) {
            --length;
        }
        memcpy(folder, SettingsPath, length);
        folder[length] = '\0';
    }
    SerialSetDeviceFolder(folder);
}

// An installed program (or one in a folder the user cannot write) keeps its settings file,
// and with it the COM entries, in the user's configuration folder; if the path would not fit
// it stays where it is.
void MoveSettingsToUserFolder(const char* programPath) {
    char folder[kPathBufferSize];
    char moved[kPathBufferSize];
    if (PlatformSettingsFolder(programPath, folder, sizeof folder) &&
        JoinText(moved, sizeof moved, folder, "/") &&
        JoinText(moved, sizeof moved, moved, SettingsPath + LastComponentOffset(SettingsPath))) {
        JoinText(SettingsPath, sizeof SettingsPath, moved, "");
    }
}

}  // namespace

void PrintBanner(const char* title) {
    printf("\n%s V 3.0 %s\n\n", title, kCopyright);
}

bool SettingsPathFromProgramPath(const char* programPath, char* out, size_t outSize) {
    const size_t length = strlen(programPath);
    const size_t last = LastComponentOffset(programPath);
    // The extension starts at the first "." of the last component only: a folder named
    // like the program (C:\TAVRAM.OLD\TAVRAM.EXE) must not take the settings file elsewhere.
    const char* dot = strchr(programPath + last, '.');
    const size_t keep = dot != nullptr ? static_cast<size_t>(dot - programPath) : length;
    if (keep + 4 >= outSize) {
        return false;
    }
    memcpy(out, programPath, keep);
    memcpy(out + keep, ".SET", 5);
    return true;
}

void FormSettingsPath(const char* startPath) {
    const size_t length = strlen(startPath);
    if (length + 4 >= kPathBufferSize) {
        RefusePath();
    }
    const size_t last = LastComponentOffset(startPath);
    char programPath[kPathBufferSize];
    if (last == DrivePrefixLength(startPath)) {
        // Started by bare name: the program file is found as the shell found it.
        char searchName[kPathBufferSize];
        JoinText(searchName, sizeof searchName, startPath + last, "");
        char* dot = strrchr(searchName, '.');
        if (dot != nullptr) {
            *dot = '\0';
        }
        JoinText(searchName, sizeof searchName, searchName, ".EXE");
        if (!PlatformFindProgram(searchName, programPath, sizeof programPath)) {
            // Not found anywhere: the settings file goes into the current folder under the
            // program's name, so the run still keeps its settings.
            JoinText(programPath, sizeof programPath, searchName, "");
        }
    } else {
        // The length test above leaves room for the ".EXE".
        JoinText(programPath, sizeof programPath, startPath,
                 strstr(startPath, ".EXE") != nullptr ? "" : ".EXE");
    }
    if (!SettingsPathFromProgramPath(programPath, SettingsPath, sizeof SettingsPath)) {
        RefusePath();
    }
    MoveSettingsToUserFolder(programPath);
    SetDeviceFolderFromSettingsPath();
}

void ReadSettingsFile(const LoaderKind& kind) {
    FILE* file = fopen(SettingsPath, "r");
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
        if (kind.hasMode) {
            char mode = 0;
            const int result = fscanf(file, "MODE=%c\n", &mode);
            if (result == 1) {
                DownloadMode = static_cast<unsigned char>(mode);
            } else if (result == 0) {
                SettingsChanged = 1;
            }
        }
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
    if (kind.hasMode) {
        // Upper case is read as its letter without a rewrite.
        DownloadMode = LowerAscii(static_cast<char>(DownloadMode));
        if (DownloadMode != 's' && DownloadMode != 'f') {
            DownloadMode = 's';
            SettingsChanged = 1;
        }
    }
}

void WriteSettingsFile(const LoaderKind& kind) {
    FILE* file = fopen(SettingsPath, "w");
    if (file == nullptr) {
        // A read-only folder must not stop a download: the run goes on with the settings
        // it has, and the next run simply finds the old file (or none) again.
        return;
    }
    fprintf(file, "PORT=COM%d\n", PortNumber);
    fprintf(file, "BAUD=%d\n", CurrentBaud);
    if (kind.hasMode) {
        fprintf(file, "MODE=%c\n", static_cast<char>(DownloadMode));
    }
    fclose(file);
}

void ProcessCommandLine(const LoaderKind& kind, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            switch (LowerAscii(arg[1])) {
                case 'c':
                    ApplyPortOption(arg + 2);
                    break;
                case 'm':
                    if (kind.hasMode) {
                        ApplyModeOption(arg + 2);
                    }
                    break;
                case 'h':
                    kind.printUsage();
                    PlatformExit(0);
                case 'i':
                    Verbose = 1;
                    break;
                default:
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

void ObtainProgramName() {
    if (ProgramName[0] == '\0') {
        printf("File To Load : ");
        int c = getchar();
        while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            c = getchar();
        }
        if (c == EOF) {
            // Nothing to load: searching for files named only ".X0" would help nobody.
            printf("\nNo Program Name Given\n");
            PlatformExit(2);
        }
        size_t length = 0;
        while (c != EOF && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' &&
               c != '\f') {
            if (length == kMaxProgramName) {
                RefuseName();
            }
            ProgramName[length++] = UpperAscii(static_cast<char>(c));
            c = getchar();
        }
        ProgramName[length] = '\0';
        printf("\n");
    }
    if (strchr(ProgramName, '.') != nullptr) {
        printf("\nFilename Extension Is Not Allowed");
        PlatformExit(2);
    }
}

void FormLaneFileNames() {
    for (int lane = 0; lane < 4; ++lane) {
        const char extension[4] = {'.', 'X', static_cast<char>('0' + lane), '\0'};
        // ProgramName holds at most kMaxProgramName characters, so this always fits.
        JoinText(LaneFileNames[lane], kPathBufferSize, ProgramName, extension);
    }
}

void OpenLaneFiles(FILE* lanes[4]) {
    for (int lane = 0; lane < 4; ++lane) {
        lanes[lane] = PlatformOpenRead(LaneFileNames[lane]);
        if (lanes[lane] == nullptr) {
            printf("\nCan't Open File %s\n", LaneFileNames[lane]);
            PlatformExit(2);
        }
        printf("Loading File: %s\n", LaneFileNames[lane]);
    }
}

uint32_t ConnectForDownload(const LoaderKind& kind) {
    OpenComPort(PortNumber, CurrentBaud);
    const uint32_t connectStart = PlatformMilliseconds();
    const int32_t attempts = ConnectTarget();
    const uint32_t connectEnd = PlatformMilliseconds();
    if (Verbose != 0) {
        printf("\nTarget Connected In %3.0f Milliseconds, %d Attempt(s) Required\n",
               static_cast<double>(static_cast<uint32_t>(connectEnd - connectStart)), attempts);
    }
    printf("\nConnected To Target\n");
    const uint32_t downloadStart = PlatformMilliseconds();
    if (SettingsChanged != 0) {
        WriteSettingsFile(kind);  // now with the rate the target answered at
    }
    // Stale bytes from the handshake must not be taken for the first answer.
    for (int32_t poll = 0; poll < kDrainPolls; ++poll) {
        if (ReceiveReady() != 0) {
            ReceiveWait();
        }
    }
    return downloadStart;
}

void FinishDownload(FILE* lanes[4], uint32_t downloadStartMs) {
    printf("\n%s Started At Address %06lX(HEX)\n", ProgramName,
           static_cast<unsigned long>(LoadAddress));
    for (int lane = 0; lane < 4; ++lane) {
        fclose(lanes[lane]);
        lanes[lane] = nullptr;
    }
    const uint32_t elapsed = PlatformMilliseconds() - downloadStartMs;
    printf("\nDownload Time = %3.1f Seconds\n", elapsed / 1000.0);
    ExitLoader(0);
}

void ResetDriverState() {
    PortNumber = 1;
    ProgramName[0] = '\0';
    DownloadMode = 's';
    SettingsPath[0] = '\0';
    for (auto& name : LaneFileNames) {
        name[0] = '\0';
    }
}
