// File-system services of the OS layer: program search, lane file lookup, file time and the
// folder of the settings file. Errors as system.h says.
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
// The settings file, `path` being the settings folder joined with its name. Once a folder
// was chosen (PlatformSettingsFolder) the name is taken in that folder as it was opened and
// checked, whatever is renamed onto its path later; before that, `path` itself.
// Read: only a regular file, never through a symbolic link (null); never blocks in the open.
FILE* PlatformOpenSettingsRead(const char* path);
// Replacing it as a whole: a new file beside it, open for writing in text mode. An existing
// entry that is neither a regular file nor a symbolic link (a folder, a FIFO) is left as it
// is (null), and so is a file whose mode does not let the user write it, root included.
FILE* PlatformBeginSettingsWrite(const char* path);
// Closes the new file, puts it on disk and renames it over the settings file (a link there
// is replaced, never written through). On failure the new file is removed, the old one stays.
bool PlatformFinishSettingsWrite(FILE* file);
// Removes the new file of a write begun and not finished: on every way out of the process
// (PlatformExit, the termination signals). Async-signal-safe.
void PlatformRemoveUnfinishedWrite();
// Removes what writes of the settings file cut short (SIGKILL, a crash) left beside it: new
// files of processes that no longer run, regular files owned by the user. POSIX only.
void PlatformRemoveStaleWrites(const char* path);

// A moment in local time, field by field.
struct FileTime {
    int year = 0;   // four digits
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to 31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Which step of PlatformFileTime failed.
enum FileTimeFailure {
    FileTimeOpenFailed,     // the file cannot be opened as a descriptor
    FileTimeStatusFailed,   // the status query of the descriptor failed
    FileTimeConvertFailed,  // no local time, or a year of other than four digits
};

// Last modification time of the file, in local time. False on failure,
// PlatformFileTimeFailure() says at which step. Anything but a regular file fails to open,
// without blocking.
bool PlatformFileTime(const char* name, FileTime* time);
FileTimeFailure PlatformFileTimeFailure();

// Why a settings folder was refused.
enum SettingsFolderReason {
    SettingsFolderUnnamed,       // no configuration folder: HOME unset or not absolute
    SettingsFolderTooLong,       // longer than allowed; nothing was made
    SettingsFolderMissing,       // TAVLOADER_DIR names no folder (`error`)
    SettingsFolderCannotMake,    // the configuration folder cannot be made (`error`)
    SettingsFolderNotOwned,      // owned by neither the user nor root
    SettingsFolderOpenToOthers,  // group or others may write it (sticky or not)
};

struct SettingsFolderRefusal {
    SettingsFolderReason reason = SettingsFolderUnnamed;
    int error = 0;  // the system's code of a failed look-up or make
};

// Folder for the settings file and the COM entries of the program whose file is
// `programPath` (null: found nowhere). TAVLOADER_DIR, when set, names it for the run.
// Otherwise a program in the install folder, in a folder the user cannot write, or found
// nowhere keeps them in the user's configuration folder ($XDG_CONFIG_HOME/tavloader, by
// default ~/.config/tavloader), made with mode 0700 when missing. On POSIX every one of these
// folders, the program's own included, is opened once (a link leads to its folder) and
// refused through that handle unless the user or root owns it and no one else may write it.
// It stays open: the settings file and the COM entries are taken from it. A program folder
// that is not there (a start path that names none) holds nothing. A path longer than
// `maxLength` is refused before anything is made. Always beside the program on Windows.
// True with *folder the folder chosen, empty for the program's own folder. False when the
// folder is refused: *folder is the one refused, PlatformSettingsFolderRefusal() says why.
bool PlatformSettingsFolder(const char* programPath, size_t maxLength, std::string* folder);
// The same with the install folder given instead of the one the program was built for.
bool PlatformSettingsFolderFor(const char* programPath, const char* installFolder, size_t maxLength,
                               std::string* folder);
const SettingsFolderRefusal& PlatformSettingsFolderRefusal();
// The folder chosen, open (a POSIX descriptor, for SerialSetDeviceFolder); -1 when none is
// held (Windows, a refusal, a folder that is not there): names then go by their paths.
int PlatformSettingsFolderHandle();
