// File-system services on Windows. File names are case-insensitive here already.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/files.h"
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
    const char* path = getenv("PATH");
    if (path == nullptr) {
        return false;
    }
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string folder = list.substr(start, end - start);
        start = end + 1;
        if (folder.size() >= 2 && folder.front() == '"' && folder.back() == '"') {
            folder = folder.substr(1, folder.size() - 2);
        }
        if (folder.empty()) {
            continue;
        }
        std::string candidate = EndsWithSeparator(folder) ? folder + name : folder + "\\" + name;
        if (IsFile(candidate)) {
            return CopyOut(candidate, out, outSize);
        }
    }
    return false;
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

FILE* PlatformOpenOwnFileRead(const char* name) {
    // A link (reparse point) at the settings path counts as no file, as on POSIX.
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return nullptr;
    }
    return PlatformOpenRegularRead(name, false);
}

FILE* PlatformBeginReplace(const char* name, char* newPath, size_t newPathSize) {
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return nullptr;
    }
    // CREATE_NEW: never an entry someone else put there; a name left by a crashed run is
    // skipped.
    static unsigned serial = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (int attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
        const int length = snprintf(newPath, newPathSize, "%s.%lu-%u.new", name,
                                    static_cast<unsigned long>(GetCurrentProcessId()), serial++);
        if (length < 0 || static_cast<size_t>(length) >= newPathSize) {
            return nullptr;
        }
        handle = CreateFileA(newPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                             nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            return nullptr;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    FILE* file = StreamOfDiskFile(handle, _O_WRONLY | _O_TEXT, "w");
    if (file == nullptr) {
        DeleteFileA(newPath);
    }
    return file;
}

bool PlatformFinishReplace(FILE* file, const char* newPath, const char* name) {
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    const bool written = fflush(file) == 0 && FlushFileBuffers(handle);
    if (fclose(file) == 0 && written &&
        MoveFileExA(newPath, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileA(newPath);
    return false;
}

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
