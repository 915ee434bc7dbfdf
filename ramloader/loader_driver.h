// The run steps both loaders share: settings file, command line, program name, lane
// files, connection and the closing lines. The RAM loader uses two settings lines, the
// flash loader a third (MODE) as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t kPathBufferSize = 260;  // the host's path limit, terminator included
constexpr size_t kMaxProgramName = 256;  // leaves room for ".X0" and the terminator

// Process-wide state of the driver (CurrentBaud, SettingsChanged, Verbose live in the link).
extern int32_t PortNumber;
extern char ProgramName[kPathBufferSize];
extern int32_t DownloadMode;  // 's' or 'f'; flash loader only
extern char SettingsPath[kPathBufferSize];
extern char LaneFileNames[4][kPathBufferSize];

struct LoaderKind {
    bool hasMode;          // settings file and command line know MODE / -M
    void (*printUsage)();  // usage text with the current settings
};

// Prints a banner line: "\n" + title + " V 3.0 " + copyright + "\n\n".
void PrintBanner(const char* title);

// Settings file path from the start path (first argument of the process). Ends the process
// with code 2 and a one-line message when the path does not fit.
void FormSettingsPath(const char* startPath);
// The settings file path for a program file path: its last component's extension (from the
// first "." of that component) becomes ".SET". False when the result does not fit outSize.
bool SettingsPathFromProgramPath(const char* programPath, char* out, size_t outSize);
void ReadSettingsFile(const LoaderKind& kind);
void WriteSettingsFile(const LoaderKind& kind);

// Takes the arguments after the program's own name, left to right (argc/argv as main gets
// them: argv[0] is skipped); -H / ? print the usage and end the process with code 0.
void ProcessCommandLine(const LoaderKind& kind, int argc, char** argv);

// "Using Port  : COMn" and the first save of changed settings.
void ReportPortAndSaveSettings(const LoaderKind& kind);

// Prompt when no name was given, the "." check, and the four lane file names.
void ObtainProgramName();
void FormLaneFileNames();
// Opens the four lane files in lane order, printing "Loading File: ..." after each.
void OpenLaneFiles(FILE* lanes[4]);

// Opens the port, connects, prints the connection lines, saves changed settings and drains
// stale input. Returns the clock reading at which the download time starts.
uint32_t ConnectForDownload(const LoaderKind& kind);

// Closing lines after the download: start address, closing the lane files, download time;
// then ExitLoader(0).
[[noreturn]] void FinishDownload(FILE* lanes[4], uint32_t downloadStartMs);

// Puts the driver state back as at process start (for in-process tests).
void ResetDriverState();
