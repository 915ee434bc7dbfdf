// File-system services on Windows. File names are case-insensitive here already.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/files.h"
#include "platform/path_search.h"
#include "platform/platform_testing.h"

namespace {

bool IsFile(const std::string& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EndsWithSeparator(const std::string& folder) {
    char last = folder.back();
    return last == '\\' || last == '/' || last == ':';
}

bool CopyOut(const std::string& text, char* out, size_t outSize) {
    if (outSize == 0 || text.size() >= outSize) {
        return false;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// A C stream on a handle that names a file on disk; anything else (a folder, a pipe, a
// device such as CON or COM1) is closed again and refused.
FILE* StreamOfDiskFile(HANDLE handle, int flags, const char* mode) {
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(fd, mode);
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

FileTimeFailure LastFileTimeFailure = FileTimeOpenFailed;

// The new file of a settings write under way, for every way out of the process.
char PendingName[MAX_PATH + 32];
std::string PendingTarget;
std::atomic<bool> Pending{false};

bool FailFileTime(FileTimeFailure failure) {
    LastFileTimeFailure = failure;
    return false;
}

}  // namespace

bool PlatformFindProgram(const char* name, char* out, size_t outSize) {
    char cwd[MAX_PATH + 1];
    DWORD length = GetCurrentDirectoryA(sizeof(cwd), cwd);
    if (length > 0 && length < sizeof(cwd)) {
        std::string here = cwd;
        std::string candidate = EndsWithSeparator(here) ? here + name : here + "\\" + name;
        if (IsFile(candidate)) {
            return CopyOut(candidate, out, outSize);
        }
    }
    const PathSearchRules rules = {';', '\\', "\\/:", true, false, IsFile};
    std::string found;
    return FindAlongPathList(getenv("PATH"), name, rules, &found) && CopyOut(found, out, outSize);
}

FILE* PlatformOpenRead(const char* name) {
    return PlatformOpenRegularRead(name, true);
}

FILE* PlatformOpenRegularRead(const char* name, bool binary) {
    // FILE_SHARE_DELETE: a reader does not stand in the way of a replacing rename.
    HANDLE handle =
        CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return StreamOfDiskFile(handle, _O_RDONLY | (binary ? _O_BINARY : _O_TEXT),
                            binary ? "rb" : "r");
}

FILE* PlatformOpenSettingsRead(const char* path) {
    // A link (reparse point) at the settings path counts as no file, as on POSIX.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return nullptr;
    }
    return PlatformOpenRegularRead(path, false);
}

FILE* PlatformBeginSettingsWrite(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return nullptr;
    }
    // CREATE_NEW: never an entry someone else put there; a name left by a crashed run is
    // skipped. FILE_SHARE_DELETE: the console handler's thread may remove it on Ctrl-C.
    static unsigned serial = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        const int length = snprintf(PendingName, sizeof PendingName, "%s.%lu-%u.new", path,
                                    static_cast<unsigned long>(GetCurrentProcessId()), serial++);
        if (length < 0 || static_cast<size_t>(length) >= sizeof PendingName) {
            return nullptr;
        }
        Pending = true;
        handle = CreateFileA(PendingName, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            Pending = false;
            if (GetLastError() != ERROR_FILE_EXISTS) {
                return nullptr;
            }
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    PendingTarget = path;
    FILE* file = StreamOfDiskFile(handle, _O_WRONLY | _O_TEXT, "w");
    if (file == nullptr) {
        PlatformRemoveUnfinishedWrite();
    }
    return file;
}

bool PlatformFinishSettingsWrite(FILE* file) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const bool written = fflush(file) == 0 && FlushFileBuffers(handle);
    if (fclose(file) == 0 && written &&
        MoveFileExA(PendingName, PendingTarget.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        Pending = false;
        return true;
    }
    PlatformRemoveUnfinishedWrite();
    return false;
}

void PlatformRemoveUnfinishedWrite() {
    if (Pending.exchange(false)) {
        DeleteFileA(PendingName);
    }
}

// A write cut short here is one whose process was ended from outside; not looked for.
void PlatformRemoveStaleWrites(const char*) {}

bool PlatformResolvePath(const char* name, char* out, size_t outSize) {
    bool exists = GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES;
    if (outSize > 0) {
        snprintf(out, outSize, "%s", name);
    }
    return exists && strlen(name) < outSize;
}

bool PlatformFileTime(const char* name, FileTime* time) {
    FILE* file = PlatformOpenRegularRead(name, true);
    if (file == nullptr) {
        return FailFileTime(FileTimeOpenFailed);
    }
    struct _stat64 st;
    int status = _fstat64(_fileno(file), &st);
    fclose(file);
    if (status != 0) {
        return FailFileTime(FileTimeStatusFailed);
    }
    __time64_t when = st.st_mtime;
    struct tm* local = _localtime64(&when);
    if (local == nullptr || local->tm_year < 1000 - 1900 || local->tm_year > 9999 - 1900) {
        return FailFileTime(FileTimeConvertFailed);
    }
    *time = {local->tm_year + 1900, local->tm_mon + 1, local->tm_mday,
             local->tm_hour,        local->tm_min,     local->tm_sec};
    return true;
}

FileTimeFailure PlatformFileTimeFailure() {
    return LastFileTimeFailure;
}

// Windows programs keep their settings beside the executable wherever they are.
bool PlatformSettingsFolderFor(const char*, const char*, size_t, std::string* folder) {
    folder->clear();
    return true;
}

bool PlatformSettingsFolder(const char* programPath, size_t maxLength, std::string* folder) {
    return PlatformSettingsFolderFor(programPath, "", maxLength, folder);
}

// Never refused: see above.
const SettingsFolderRefusal& PlatformSettingsFolderRefusal() {
    static const SettingsFolderRefusal none;
    return none;
}

int PlatformSettingsFolderHandle() {
    return -1;
}

void PlatformForgetSettingsFolder() {}
