// File-system services on POSIX. The loaders upper-case program names as on Windows, so a
// name that does not exist as given is matched without regard to case, one path component
// at a time.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/path_search.h"
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
    const PathSearchRules rules = {':', '/', "/", false, true, IsRegularFile};
    return FindAlongPathList(getenv("PATH"), name, rules, found);
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

// A descriptor of the regular file `name` in `folder` (AT_FDCWD: as a path), or -1. The open
// carries O_NONBLOCK so that a FIFO (which would wait for its other end) cannot hang it; the
// status check after the open catches an entry swapped in after the first check. Devices are
// refused before they are ever opened.
int OpenRegularDescriptorAt(int folder, const char* name, int flags) {
    struct stat st;
    const int follow = (flags & O_NOFOLLOW) == 0 ? 0 : AT_SYMLINK_NOFOLLOW;
    if (fstatat(folder, name, &st, follow) == 0 && !S_ISREG(st.st_mode)) {
        return -1;
    }
    int fd = openat(folder, name, flags | O_NONBLOCK | O_CLOEXEC, 0666);
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

int OpenRegularDescriptor(const char* path, int flags) {
    return OpenRegularDescriptorAt(AT_FDCWD, path, flags);
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

// The settings folder chosen last, open until the process ends; -1: none, names go by path.
// Opened only as a place (O_PATH where there is one), so a folder the user may search but
// not list is held as well as before.
int SettingsFolderFd = -1;
#ifdef O_PATH
constexpr int kFolderOpen = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderOpen = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

void HoldFolder(int fd) {
    if (SettingsFolderFd >= 0) {
        close(SettingsFolderFd);
    }
    SettingsFolderFd = fd;
}

// The folder and the name in it for the settings file `path`.
int SettingsFolderOf(const char* path, const char** name) {
    const char* slash = strrchr(path, '/');
    *name = SettingsFolderFd < 0 ? path : slash != nullptr ? slash + 1 : path;
    return SettingsFolderFd < 0 ? AT_FDCWD : SettingsFolderFd;
}

// The one trust rule for a folder the settings and COM entries come from, checked on the
// folder as opened, which is then held: the user or root owns it and no one else may write
// it. A sticky bit does not help: it keeps others from replacing entries, not from adding
// the COM3 or the settings file that is not there yet.
bool HoldTrustedFolder(const std::string& folder) {
    const int fd = open(folder.c_str(), kFolderOpen);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        const int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return RefuseFolder(SettingsFolderMissing, error);
    }
    if (st.st_uid != geteuid() && st.st_uid != 0) {
        close(fd);
        return RefuseFolder(SettingsFolderNotOwned, 0);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        return RefuseFolder(SettingsFolderOpenToOthers, 0);
    }
    HoldFolder(fd);
    return true;
}

// A folder named by the environment (TAVLOADER_DIR, the configuration folder).
bool FolderFromEnvironment(const std::string& folder, size_t maxLength, bool make,
                           std::string* chosen) {
    *chosen = folder;
    if (folder.size() > maxLength) {
        return RefuseFolder(SettingsFolderTooLong, 0);
    }
    if (make && !MakeFolders(folder)) {
        return RefuseFolder(SettingsFolderCannotMake, errno);
    }
    return HoldTrustedFolder(folder);
}

// The program's own folder: one that is not there holds nothing, and files go by path.
bool OwnFolder(const std::string& own, std::string* chosen) {
    if (HoldTrustedFolder(own)) {
        chosen->clear();
        return true;
    }
    *chosen = own;
    const bool missing = LastRefusal.reason == SettingsFolderMissing &&
                         (LastRefusal.error == ENOENT || LastRefusal.error == ENOTDIR);
    if (missing) {
        chosen->clear();
    }
    return missing;
}

// Read-only is the file's mode, for root too (whom access(W_OK) would always let write):
// the write bit of the class the user falls in.
bool ModeLetsWrite(const struct stat& st) {
    if (st.st_uid == geteuid()) {
        return (st.st_mode & S_IWUSR) != 0;
    }
    bool member = st.st_gid == getegid();
    gid_t groups[256];
    const int count = getgroups(256, groups);
    for (int i = 0; i < count && !member; ++i) {
        member = groups[i] == st.st_gid;
    }
    return (st.st_mode & (member ? S_IWGRP : S_IWOTH)) != 0;
}

// The new file of a settings write under way, for every way out of the process: its name is
// complete before it is marked pending, and the mark drops once it is renamed or removed.
char PendingName[512];
int PendingFolder = AT_FDCWD;
std::string PendingTarget;
std::atomic<bool> Pending{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

// "NAME.<pid>-<n>.new": the pid, or 0 when `entry` is no new file of NAME.
long WriterOf(const char* entry, const std::string& name) {
    if (strncmp(entry, name.c_str(), name.size()) != 0 || entry[name.size()] != '.') {
        return 0;
    }
    const char* p = entry + name.size() + 1;
    long pid = 0;
    for (; *p >= '0' && *p <= '9' && pid < 100000000L; ++p) {
        pid = pid * 10 + (*p - '0');
    }
    if (*p++ != '-' || *p < '0' || *p > '9') {
        return 0;
    }
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    return strcmp(p, ".new") == 0 ? pid : 0;
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

FILE* PlatformOpenSettingsRead(const char* path) {
    const char* name = nullptr;
    const int folder = SettingsFolderOf(path, &name);
    return StreamOf(OpenRegularDescriptorAt(folder, name, O_RDONLY | O_NOFOLLOW), "r");
}

FILE* PlatformBeginSettingsWrite(const char* path) {
    const char* name = nullptr;
    const int folder = SettingsFolderOf(path, &name);
    struct stat st;
    const bool exists = fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        return nullptr;
    }
    // A settings file the user made read-only stays as it is, as a rewrite would leave it.
    const bool regular = exists && S_ISREG(st.st_mode);
    if (regular && !ModeLetsWrite(st)) {
        return nullptr;
    }
    // O_EXCL: never an entry someone else put there; a name left by a crashed run is skipped.
    static unsigned serial = 0;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        const int length = snprintf(PendingName, sizeof PendingName, "%s.%ld-%u.new", name,
                                    static_cast<long>(getpid()), serial++);
        if (length < 0 || static_cast<size_t>(length) >= sizeof PendingName) {
            return nullptr;
        }
        PendingFolder = folder;
        Pending = true;
        fd =
            openat(folder, PendingName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            Pending = false;
            if (errno != EEXIST) {
                return nullptr;
            }
        }
    }
    if (fd >= 0 && regular) {
        fchmod(fd, st.st_mode & 07777);  // the new file keeps the old one's mode
    }
    PendingTarget = name;
    FILE* file = StreamOf(fd, "w");
    if (file == nullptr) {
        PlatformRemoveUnfinishedWrite();
    }
    return file;
}

bool PlatformFinishSettingsWrite(FILE* file) {
    const bool written = fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (fclose(file) == 0 && written &&
        renameat(PendingFolder, PendingName, PendingFolder, PendingTarget.c_str()) == 0) {
        Pending = false;
        return true;
    }
    PlatformRemoveUnfinishedWrite();
    return false;
}

void PlatformRemoveUnfinishedWrite() {
    if (Pending.exchange(false)) {
        unlinkat(PendingFolder, PendingName, 0);
    }
}

void PlatformRemoveStaleWrites(const char* path) {
    const char* slash = strrchr(path, '/');
    const std::string name = slash != nullptr ? slash + 1 : path;
    const int fd = SettingsFolderFd >= 0
                       ? openat(SettingsFolderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                       : open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    while (struct dirent* entry = readdir(dir)) {
        const long pid = WriterOf(entry->d_name, name);
        struct stat st;
        if (pid != 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH &&
            fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == geteuid()) {
            unlinkat(fd, entry->d_name, 0);
        }
    }
    closedir(dir);
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
    HoldFolder(-1);
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
        return OwnFolder(own, folder);
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

int PlatformSettingsFolderHandle() {
    return SettingsFolderFd;
}

void PlatformForgetSettingsFolder() {
    HoldFolder(-1);
}
