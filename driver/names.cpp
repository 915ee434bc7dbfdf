// Names and paths: the program name and its lane files, the settings file path.
#include "driver/names.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "link/link.h"
#include "platform/files.h"
#include "platform/serial_port.h"
#include "platform/system.h"

char ProgramName[kPathBufferSize] = "";
char SettingsPath[kPathBufferSize] = "";
char LaneFileNames[kLaneCount][kPathBufferSize] = {};

namespace {

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
    EndRun(kExitFailure, nullptr, "\nProgram Name Too Long (More Than %u Characters)\n",
           static_cast<unsigned>(kMaxProgramName));
}

// The start path must leave room for ".EXE" and the terminator.
[[noreturn]] void RefusePath() {
    EndRun(kExitFailure, nullptr, "\nProgram Path Too Long (More Than %u Characters)\n",
           static_cast<unsigned>(kPathBufferSize - 5));
}

// Moves the settings file, and with it the COM entries, into the folder the OS layer
// chooses (`programPath` null: the program was found nowhere); a folder it refuses ends the
// run before any port is opened.
void UseSettingsFolder(const char* programPath) {
    const char* fileName = SettingsPath + LastComponentOffset(SettingsPath);
    const size_t maxLength = kPathBufferSize - 2 - strlen(fileName);  // "/", terminator
    std::string folder;
    const bool chosen = PlatformSettingsFolder(programPath, maxLength, &folder);
    const char* path = folder.c_str();
    if (chosen && !folder.empty()) {
        char moved[kPathBufferSize];
        JoinText(moved, sizeof moved, path, "/");
        JoinText(moved, sizeof moved, moved, fileName);
        JoinText(SettingsPath, sizeof SettingsPath, moved, "");
    }
    if (chosen) {
        return;
    }
    const SettingsFolderRefusal& refusal = PlatformSettingsFolderRefusal();
    switch (refusal.reason) {
        case SettingsFolderUnnamed:
            EndRun(kExitFailure, nullptr,
                   "\nSettings Folder %s Unknown: HOME Not Set Or Not Absolute\n", path);
        case SettingsFolderTooLong:
            EndRun(kExitFailure, nullptr,
                   "\nSettings Folder %s Too Long (More Than %u Characters)\n", path,
                   static_cast<unsigned>(maxLength));
        case SettingsFolderMissing:
            EndRun(kExitFailure, nullptr, "\nOpen Of Settings Folder %s Failed: %d\n", path,
                   refusal.error);
        case SettingsFolderCannotMake:
            EndRun(kExitFailure, nullptr, "\nCreate Of Settings Folder %s Failed: %d\n", path,
                   refusal.error);
        case SettingsFolderNotOwned:
            EndRun(kExitFailure, nullptr, "\nSettings Folder %s Refused: Owned By Another User\n",
                   path);
        case SettingsFolderOpenToOthers:
            EndRun(kExitFailure, nullptr, "\nSettings Folder %s Refused: Writable By Others\n",
                   path);
    }
    EndRun(kExitFailure, nullptr, nullptr);
}

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
    SerialSetDeviceFolder(folder, PlatformSettingsFolderHandle());
}

}  // namespace

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
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
    char ownFile[4096];
    bool found = true;
    if (PlatformOwnExecutable(ownFile, sizeof ownFile)) {
        // Where the system says the program file is, whatever the start path claims.
        if (!JoinText(programPath, sizeof programPath - 4, ownFile, "")) {
            RefusePath();
        }
    } else if (last == DrivePrefixLength(startPath)) {
        // Started by bare name: the program file is found as the shell found it.
        char searchName[kPathBufferSize];
        JoinText(searchName, sizeof searchName, startPath + last, "");
        char* dot = strrchr(searchName, '.');
        if (dot != nullptr) {
            *dot = '\0';
        }
        JoinText(searchName, sizeof searchName, searchName, ".EXE");
        found = PlatformFindProgram(searchName, programPath, sizeof programPath);
        if (!found) {
            // Not found anywhere: the bare name, whose folder the OS layer does not know (on
            // Windows the current folder, elsewhere the user's configuration folder).
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
    UseSettingsFolder(found ? programPath : nullptr);
    SetDeviceFolderFromSettingsPath();
    PlatformRemoveStaleWrites(SettingsPath);
}

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

void ObtainProgramName() {
    if (ProgramName[0] == '\0') {
        printf("File To Load : ");
        int c = getchar();
        while (IsWhiteSpace(c)) {
            c = getchar();
        }
        if (c == EOF) {
            // Nothing to load: searching for files named only ".X0" would help nobody.
            EndRun(kExitFailure, nullptr, "\nNo Program Name Given\n");
        }
        size_t length = 0;
        while (c != EOF && !IsWhiteSpace(c)) {
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
        EndRun(kExitFailure, nullptr, "\nFilename Extension Is Not Allowed");
    }
}

void FormLaneFileNames() {
    for (int lane = 0; lane < kLaneCount; ++lane) {
        const char extension[4] = {'.', 'X', static_cast<char>('0' + lane), '\0'};
        // ProgramName holds at most kMaxProgramName characters, so this always fits.
        JoinText(LaneFileNames[lane], kPathBufferSize, ProgramName, extension);
    }
}
