// File-system services of the OS layer: program search, lane file lookup, file time and the
// folder of the settings file.
#pragma once

#include <cstddef>
#include <cstdio>

// Looks a program file up in the current folder, then along PATH. On success writes the
// path to `out` (current folder: full path; PATH folder: the folder as listed joined with
// the name) and returns true. On POSIX, when `name` ends in ".EXE" and nothing is found,
// the name without it is looked up the same way.
bool PlatformFindProgram(const char* name, char* out, size_t outSize);

// Opens a file for reading in binary mode. On case-sensitive file systems a name that does
// not exist as given is matched without regard to case, path component by path component.
// Anything but a regular file is refused (null), as PlatformOpenRegularRead does.
FILE* PlatformOpenRead(const char* name);

// Opens `name` for reading (binary or text mode) only when it is a regular file: a folder,
// a FIFO or a device gives null. Never blocks in the open (a FIFO without a writer would).
FILE* PlatformOpenRegularRead(const char* name, bool binary);
// Creates or empties `name` for writing in text mode. An existing entry that is not a
// regular file is left as it is (null); never blocks in the open.
FILE* PlatformCreateRegularWrite(const char* name);

// Resolves `name` as PlatformOpenRead would; writes the path that exists to `out`.
// Returns false (and copies `name`) when no match exists.
bool PlatformResolvePath(const char* name, char* out, size_t outSize);

enum FileTimeResult {
    FileTimeOk,
    FileTimeOpenFailed,     // the file cannot be opened as a descriptor
    FileTimeStatusFailed,   // the status query of the descriptor failed
    FileTimeConvertFailed,  // local time conversion or rendering failed
};

// Last modification time of the file, in local time, rendered as the 24-character
// standard time text followed by "\n" (e.g. "Mon Mar  5 14:07:09 2001\n"); `text` holds
// at least 26 characters.
// Anything but a regular file gives FileTimeOpenFailed, without blocking.
FileTimeResult PlatformFileTimeText(const char* name, char* text, size_t textSize);

// Folder for the settings file and the COM entries of the program whose file is
// `programPath`. A program in the install folder, or in a folder the user cannot write, keeps
// them in the user's configuration folder ($XDG_CONFIG_HOME/tavloader, by default
// ~/.config/tavloader), created with mode 0700 when missing: then that folder is written to
// `out` and the result is true. False means the program's own folder (always on Windows, and
// when the configuration folder cannot be named or made).
bool PlatformSettingsFolder(const char* programPath, char* out, size_t outSize);
// The same with the install folder given instead of the one the program was built for.
bool PlatformSettingsFolderFor(const char* programPath, const char* installFolder, char* out,
                               size_t outSize);
