// The settings of a run (port, baud rate, a loader's own setting, the flags) and where they
// come from: the settings file and the command line. A loader may add one settings line and
// its option (the flash loader's MODE / -M) through its LoaderRun.
#pragma once

#include <cstdint>
#include <cstdio>

// The settings of the run; each is saved in the settings file.
extern int32_t PortNumber;    // 1 to 4: COM1 to COM4
extern int32_t CurrentBaud;   // 38400 or 115200; after the connection the answering rate
extern int32_t DownloadMode;  // the flash loader's 's' (Save) or 'f' (Fast)
// The flags of the run.
extern bool SettingsChanged;  // the settings file is to be written; only ever set
extern bool Verbose;          // option -I

// One more settings line after PORT and BAUD, with its command-line option.
struct LoaderSetting {
    char optionLetter;                      // lower case; given in either case
    void (*applyOption)(const char* text);  // the text after the letter
    // Scans its line from the settings file (nullptr when there is none), then corrects
    // the value; either may set SettingsChanged.
    void (*read)(FILE* file);
    void (*write)(FILE* file);
};

struct LoaderRun;

void ReadSettingsFile(const LoaderRun& run);
void WriteSettingsFile(const LoaderRun& run);

// Takes the arguments after the program's own name, left to right (argc/argv as main gets
// them: argv[0] is skipped); -H / ? print the usage and end the process with code 0.
void ProcessCommandLine(const LoaderRun& run, int argc, char** argv);

// "Using Port  : COMn" and the first save of changed settings.
void ReportPortAndSaveSettings(const LoaderRun& run);
