// Names and paths both loaders share: the program name and its lane files, the settings
// file beside the executable, and the search for the program file itself.
#pragma once

#include <cstddef>

#include "hexreader/hexreader.h"

constexpr size_t kPathBufferSize = 260;  // the host's path limit, terminator included
constexpr size_t kMaxProgramName = 256;  // leaves room for ".X0" and the terminator

extern char ProgramName[kPathBufferSize];
extern char SettingsPath[kPathBufferSize];
extern char LaneFileNames[kLaneCount][kPathBufferSize];

// Letters a to z only: names must not depend on the host's locale.
char UpperAscii(char c);
char LowerAscii(char c);

// Settings file path from the start path (first argument of the process), in the folder the
// OS layer chooses (and keeps open for the settings file and the COM entries); removes what
// writes cut short left there. Ends the process with code 2 and a one-line message when the
// path does not fit or the folder is refused.
void FormSettingsPath(const char* startPath);
// The settings file path for a program file path: its last component's extension (from the
// first "." of that component) becomes ".SET". False when the result does not fit outSize.
bool SettingsPathFromProgramPath(const char* programPath, char* out, size_t outSize);

// Stores an upper-cased program name; one that leaves no room for its extension ends the
// process with code 2.
void StoreProgramName(const char* name);
// Prompt when no name was given, the "." check, and the four lane file names.
void ObtainProgramName();
void FormLaneFileNames();
