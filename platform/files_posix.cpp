// File-system services on POSIX. The loaders upper-case program names as on Windows, so a
// name that does not exist as given is matched without regard to case, one path component
// at a time.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform_testing.h"

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool CopyOut(const std::string& text, char* out, size_t outSize) {
    if (outSize == 0 || text.size() >= outSize) {
        return false;
    }
    memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// PATH only: the current folder is never taken for a program's folder, not even through an
// empty or relative entry.
bool FindInFolders(const std::string& name, std::string* found) {
    const char* path = getenv("PATH");
    if (path == nullptr) {
        return false;
    }
    std::string list = path;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        std::string folder = list.substr(start, end - start);
        start = end + 1;
        if (folder.empty() || folder[0] != '/') {
            continue;
        }
        std::string candidate = folder.back() == '/' ? folder + name : folder + "/" + name;
        if (IsRegularFile(candidate)) {
            *found = candidate;
            return true;
        }
    }
    return false;
}

// Matches `component` in `folder` ("" is the current folder) ignoring case; the first
// match in name order, so the choice does not depend on the directory's order.
bool MatchComponent(const std::string& folder, const std::string& component, std::string* match) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool found = false;
    while (struct dirent* entry = readdir(dir)) {
        if (strcasecmp(entry->d_name, component.c_str()) == 0 &&
            (!found || strcmp(entry->d_name, match->c_str()) < 0)) {
            *match = entry->d_name;
            found = true;
        }
    }
    closedir(dir);
    return found;
}

bool Resolve(const std::string& name, std::string* resolved) {
    if (name.empty()) {
        return false;
    }
    if (Exists(name)) {
        *resolved = name;
        return true;
    }
    std::string path = name[0] == '/' ? "/" : "";
    size_t start = 0;
    while (start < name.size()) {
        size_t end = name.find('/', start);
        const bool last = end == std::string::npos;
        if (last) {
            end = name.size();
        }
        std::string component = name.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;  // leading or doubled slash
        }
        std::string exact = path + component;
        if (component != "." && component != ".." && !Exists(exact)) {
            std::string match;
            if (!MatchComponent(path, component, &match)) {
                return false;
            }
            exact = path + match;
        }
        path = last ? exact : exact + "/";
    }
    if (!Exists(path)) {
        return false;
    }
    *resolved = path;
    return true;
}

// A descriptor of a regular file, or -1. The open carries O_NONBLOCK so that a FIFO (which
// would wait for its other end) cannot hang it; the status check after the open catches an
// entry swapped in after the first check. Devices are refused before they are ever opened.
int OpenRegularDescriptor(const char* path, int flags) {
    struct stat st;
    const bool follow = (flags & O_NOFOLLOW) == 0;
    if ((follow ? stat(path, &st) : lstat(path, &st)) == 0 && !S_ISREG(st.st_mode)) {
        return -1;
    }
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    const int status = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || status < 0 ||
        fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

FILE* StreamOf(int fd, const char* mode) {
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fdopen(fd, mode);
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// The bin folder of the install prefix the build was made for.
#ifndef TAV_INSTALL_BINDIR
#define TAV_INSTALL_BINDIR ""
#endif

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Compared as files, so a symbolic link or a merged /bin still counts as the same folder.
bool SameFolder(const std::string& first, const std::string& second) {
    struct stat a;
    struct stat b;
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// A folder that does not exist does not count: the settings then stay where they always were.
bool CannotWrite(const std::string& folder) {
    return access(folder.c_str(), W_OK) != 0 && errno != ENOENT && errno != ENOTDIR;
}

bool UserConfigFolder(std::string* folder) {
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        *folder = xdg;
    } else if (home != nullptr && home[0] == '/') {
        *folder = std::string(home) + "/.config";
    } else {
        return false;  // a relative folder would depend on where the program is started
    }
    if (folder->back() != '/') {
        *folder += '/';
    }
    *folder += "tavloader";
    return true;
}

// False with errno set when `folder` is no folder.
bool IsFolder(const std::string& folder) {
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        return false;
    }
    errno = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    return errno == 0;
}

// mkdir -p; folders made here are the user's own (0700) and are removed again when a later
// one cannot be made. False with errno set on failure.
bool MakeFolders(const std::string& folder) {
    std::vector<std::string> made;
    int error = 0;
    for (size_t end = folder.find('/', 1); error == 0; end = folder.find('/', end + 1)) {
        const std::string part = folder.substr(0, end);
        if (mkdir(part.c_str(), 0700) == 0) {
            made.push_back(part);
        } else if (errno != EEXIST) {
            error = errno;
        }
        if (end == std::string::npos) {
            break;
        }
    }
    if (error == 0 && !IsFolder(folder)) {
        error = errno;
    }
    for (auto part = made.rbegin(); error != 0 && part != made.rend(); ++part) {
        rmdir(part->c_str());
    }
    errno = error;
    return error == 0;
}

SettingsFolderRefusal LastRefusal;
FileTimeFailure LastFileTimeFailure = FileTimeOpenFailed;

bool RefuseFolder(SettingsFolderReason reason, int error) {
    LastRefusal = {reason, error};
    return false;
}

bool FailFileTime(FileTimeFailure failure) {
    LastFileTimeFailure = failure;
    return false;
}

// A folder named by the environment is used only when the user owns it and no one else
// may put entries into it (a sticky folder lets no one replace the user's entries).
bool FolderFromEnvironment(const std::string& folder, size_t maxLength, bool make,
                           std::string* chosen) {
    *chosen = folder;
    if (folder.size() > maxLength) {
        return RefuseFolder(SettingsFolderTooLong, 0);
    }
    if (make && !MakeFolders(folder)) {
        return RefuseFolder(SettingsFolderCannotMake, errno);
    }
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        return RefuseFolder(SettingsFolderMissing, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return RefuseFolder(SettingsFolderMissing, ENOTDIR);
    }
    if (st.st_uid != geteuid()) {
        return RefuseFolder(SettingsFolderNotOwned, 0);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return RefuseFolder(SettingsFolderOpenToOthers, 0);
    }
    return true;
}

}  // namespace

bool PlatformFindProgram(const char* name, char* out, size_t outSize) {
    std::string found;
    std::string wanted = name;
    bool ok = FindInFolders(wanted, &found);
    const std::string suffix = ".EXE";
    if (!ok && wanted.size() > suffix.size() &&
        wanted.compare(wanted.size() - suffix.size(), suffix.size(), suffix) == 0) {
        ok = FindInFolders(wanted.substr(0, wanted.size() - suffix.size()), &found);
    }
    return ok && CopyOut(found, out, outSize);
}

bool PlatformResolvePath(const char* name, char* out, size_t outSize) {
    std::string resolved;
    if (Resolve(name, &resolved) && CopyOut(resolved, out, outSize)) {
        return true;
    }
    if (outSize > 0) {
        snprintf(out, outSize, "%s", name);
    }
    return false;
}

FILE* PlatformOpenRead(const char* name) {
    std::string resolved;
    return PlatformOpenRegularRead(Resolve(name, &resolved) ? resolved.c_str() : name, true);
}

FILE* PlatformOpenRegularRead(const char* name, bool binary) {
    return StreamOf(OpenRegularDescriptor(name, O_RDONLY), binary ? "rb" : "r");
}

FILE* PlatformOpenOwnFileRead(const char* name) {
    return StreamOf(OpenRegularDescriptor(name, O_RDONLY | O_NOFOLLOW), "r");
}

FILE* PlatformBeginReplace(const char* name, char* newPath, size_t newPathSize) {
    struct stat st;
    const bool exists = lstat(name, &st) == 0;
    if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return nullptr;
    }
    // A settings file the user made read-only stays as it is, as a rewrite would leave it.
    const bool regular = exists && S_ISREG(st.st_mode);
    if (regular && access(name, W_OK) != 0) {
        return nullptr;
    }
    // O_EXCL: never an entry someone else put there; a name left by a crashed run is skipped.
    static unsigned serial = 0;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        const int length = snprintf(newPath, newPathSize, "%s.%ld-%u.new", name,
                                    static_cast<long>(getpid()), serial++);
        if (length < 0 || static_cast<size_t>(length) >= newPathSize) {
            return nullptr;
        }
        fd = open(newPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return nullptr;
        }
    }
    if (fd >= 0 && regular) {
        fchmod(fd, st.st_mode & 07777);  // the new file keeps the old one's mode
    }
    FILE* file = StreamOf(fd, "w");
    if (file == nullptr && fd >= 0) {
        unlink(newPath);
    }
    return file;
}

bool PlatformFinishReplace(FILE* file, const char* newPath, const char* name) {
    const bool written = fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (fclose(file) == 0 && written && rename(newPath, name) == 0) {
        return true;
    }
    unlink(newPath);
    return false;
}

bool PlatformFileTime(const char* name, FileTime* time) {
    std::string resolved;
    int fd = OpenRegularDescriptor(Resolve(name, &resolved) ? resolved.c_str() : name, O_RDONLY);
    if (fd < 0) {
        return FailFileTime(FileTimeOpenFailed);
    }
    struct stat st;
    int status = fstat(fd, &st);
    close(fd);
    if (status != 0) {
        return FailFileTime(FileTimeStatusFailed);
    }
    struct tm local;
    if (localtime_r(&st.st_mtime, &local) == nullptr || local.tm_year < 1000 - 1900 ||
        local.tm_year > 9999 - 1900) {
        return FailFileTime(FileTimeConvertFailed);
    }
    *time = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour,        local.tm_min,     local.tm_sec};
    return true;
}

FileTimeFailure PlatformFileTimeFailure() {
    return LastFileTimeFailure;
}

bool PlatformSettingsFolderFor(const char* programPath, const char* installFolder, size_t maxLength,
                               std::string* folder) {
    const char* runFolder = getenv("TAVLOADER_DIR");
    if (runFolder != nullptr && runFolder[0] != '\0') {
        std::string named = runFolder;
        while (named.size() > 1 && named.back() == '/') {
            named.pop_back();
        }
        return FolderFromEnvironment(named, maxLength, false, folder);
    }
    // A program found nowhere has no folder of its own: never the current one.
    const std::string own = FolderOf(programPath != nullptr ? programPath : "");
    const bool installed = installFolder[0] != '\0' && SameFolder(own, installFolder);
    if (programPath != nullptr && !installed && !CannotWrite(own)) {
        folder->clear();
        return true;
    }
    std::string config;
    if (!UserConfigFolder(&config)) {
        *folder = "$HOME/.config/tavloader";
        return RefuseFolder(SettingsFolderUnnamed, 0);
    }
    return FolderFromEnvironment(config, maxLength, true, folder);
}

bool PlatformSettingsFolder(const char* programPath, size_t maxLength, std::string* folder) {
    return PlatformSettingsFolderFor(programPath, TAV_INSTALL_BINDIR, maxLength, folder);
}

const SettingsFolderRefusal& PlatformSettingsFolderRefusal() {
    return LastRefusal;
}
