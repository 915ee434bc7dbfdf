// File-system services of the OS layer: program search, lane file lookup and file time.
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
