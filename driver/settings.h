// The settings of a run (port, baud rate, a loader's own setting, the flags) and where they
// come from: the settings file and the command line. A loader may add one settings line and
// its option (the flash loader's MODE / -M) through its LoaderRun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "link/link.h"

// What a run knows. Each run starts from RunState{}; this file writes the settings and
// the flags, the run steps the connection's answer.
struct RunState {
    int32_t PortNumber = 1;           // 1 to 4: COM1 to COM4
    int32_t CurrentBaud = kBaudHigh;  // 38400 or 115200; after the connection the answering rate
    bool SettingsChanged = false;     // the settings file is to be written; only ever set
    bool Verbose = false;             // option -I
    TargetAnswer Answer;              // the connection's answer
};
extern RunState State;

// The settings file's text, read once, and where the next scan starts. The scans take it
// as formatted input (fscanf) takes a file, each going on where the one before stopped.
struct SettingsText {
    std::string text;
    size_t at = 0;
};
// The line "<prefix>%d\n": 1 with *value stored; otherwise EOF when the text ends first, or
// 0 at the first character that does not match (the next scan starts there).
int ScanNumberLine(SettingsText* in, const char* prefix, int32_t* value);
// The line "<prefix>%c\n", likewise.
int ScanCharLine(SettingsText* in, const char* prefix, char* value);

// One more settings line after PORT and BAUD, with its command-line option. The driver
// asks for the rewrite: an option always does, a line when `read` says so.
struct LoaderSetting {
    char optionLetter;                      // lower case; given in either case
    void (*applyOption)(const char* text);  // the text after the letter
    // Scans its line from the settings file (nullptr when there is none), then corrects
    // the value; true when the file is to be rewritten.
    bool (*read)(SettingsText* in);
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
// The rate the target answered at (a round without an answer asks for a rewrite), then
// the second save of changed settings.
void SaveSettingsAfterConnection(const LoaderRun& run, const TargetAnswer& answer);
