// File-system services of the OS layer: program search, lane file lookup, file time and the
// folder of the settings file.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Looks a program file up along PATH: on Windows first in the current folder, as its shell
// does; elsewhere never there, so empty and relative PATH entries are passed over. On
// success writes the path to `out` (current folder: full path; PATH folder: the folder as
// listed joined with the name) and returns true. On POSIX, when `name` ends in ".EXE" and
// nothing is found, the name without it is looked up the same way.
bool PlatformFindProgram(const char* name, char* out, size_t outSize);

// Opens a file for reading in binary mode. On case-sensitive file systems a name that does
// not exist as given is matched without regard to case, path component by path component.
// Anything but a regular file is refused (null), as PlatformOpenRegularRead does.
FILE* PlatformOpenRead(const char* name);

// Opens `name` for reading (binary or text mode) only when it is a regular file: a folder,
// a FIFO or a device gives null. Never blocks in the open (a FIFO without a writer would).
FILE* PlatformOpenRegularRead(const char* name, bool binary);
// Opens, in text mode, a file the program writes itself (its settings): only a regular file,
// and a symbolic link at `name` is not followed (null), as PlatformBeginReplace replaces it.
FILE* PlatformOpenOwnFileRead(const char* name);
// Replacing `name` as a whole: a new file beside it, open for writing in text mode, whose
// path goes to `newPath`. An existing entry that is neither a regular file nor a symbolic
// link (a folder, a FIFO) is left as it is (null); never blocks in the open.
FILE* PlatformBeginReplace(const char* name, char* newPath, size_t newPathSize);
// Closes the new file, puts it on disk and renames it over `name` (a link there is replaced,
// never written through). On failure the new file is removed and `name` stays as it was.
bool PlatformFinishReplace(FILE* file, const char* newPath, const char* name);

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

enum SettingsFolderResult {
    SettingsFolderBesideProgram,  // the program's own folder
    SettingsFolderChosen,         // `path`: TAVLOADER_DIR or the user's configuration folder
    SettingsFolderUnnamed,        // no configuration folder: HOME unset or not absolute
    SettingsFolderTooLong,        // longer than allowed; nothing was made
    SettingsFolderMissing,        // TAVLOADER_DIR names no folder (`error`)
    SettingsFolderCannotMake,     // the configuration folder cannot be made (`error`)
    SettingsFolderNotOwned,       // owned by another user
    SettingsFolderOpenToOthers,   // group or world may write it, no sticky bit
};

struct SettingsFolder {
    SettingsFolderResult result;
    int error;         // the system's error code of a failed look-up or make
    std::string path;  // the folder chosen or refused
};

// Folder for the settings file and the COM entries of the program whose file is
// `programPath` (null: found nowhere). TAVLOADER_DIR, when set, names it for the run.
// Otherwise a program in the install folder, in a folder the user cannot write, or found
// nowhere keeps them in the user's configuration folder ($XDG_CONFIG_HOME/tavloader, by
// default ~/.config/tavloader), made with mode 0700 when missing. A folder from the
// environment is refused unless the user owns it and no one else may write it (a sticky
// folder excepted). A path longer than `maxLength` is refused before anything is made.
// Always beside the program on Windows.
SettingsFolder PlatformSettingsFolder(const char* programPath, size_t maxLength);
// The same with the install folder given instead of the one the program was built for.
SettingsFolder PlatformSettingsFolderFor(const char* programPath, const char* installFolder,
                                         size_t maxLength);
