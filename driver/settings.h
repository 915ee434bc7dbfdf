// The settings file and the command line of both loaders. A loader may add one settings
// line and its option (the flash loader's MODE / -M) through LoaderKind.
#pragma once

#include <cstdint>
#include <cstdio>

extern int32_t PortNumber;  // CurrentBaud, SettingsChanged and Verbose live in the link

// One more settings line after PORT and BAUD, with its command-line option.
struct LoaderSetting {
    char optionLetter;                      // lower case; given in either case
    void (*applyOption)(const char* text);  // the text after the letter
    // Scans its line from the settings file (nullptr when there is none), then corrects
    // the value; either may set SettingsChanged.
    void (*read)(FILE* file);
    void (*write)(FILE* file);
};

struct LoaderKind {
    void (*printUsage)();          // usage text with the current settings
    const LoaderSetting* setting;  // nullptr: PORT and BAUD only
};

void ReadSettingsFile(const LoaderKind& kind);
void WriteSettingsFile(const LoaderKind& kind);

// Takes the arguments after the program's own name, left to right (argc/argv as main gets
// them: argv[0] is skipped); -H / ? print the usage and end the process with code 0.
void ProcessCommandLine(const LoaderKind& kind, int argc, char** argv);

// "Using Port  : COMn" and the first save of changed settings.
void ReportPortAndSaveSettings(const LoaderKind& kind);
