// Where a program keeps its settings and COM entries: beside itself, in the user's
// configuration folder when it runs from the install folder or an unwritable one, or in
// TAVLOADER_DIR; and which folders from the environment are refused.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/platform_testing.h"
#include "platform/serial_port.h"
#include "platform/system.h"
#include "support/files.h"

namespace {

class SettingsFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/setfoldertestXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // reachable for the unprivileged child
        ASSERT_EQ(mkdir(Path("bin").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("home").c_str(), 0755), 0);
        setenv("HOME", Path("home").c_str(), 1);
    }

    void TearDown() override {
        PlatformForgetSettingsFolder();
        chmod(Path("bin").c_str(), 0755);
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

    // The folder chosen for a program in bin/, "" for "beside the program", or the refusal.
    std::string Folder(const std::string& installFolder,
                       const std::string& program = "bin/tavram") {
        std::string folder;
        if (PlatformSettingsFolderFor(Path(program).c_str(), installFolder.c_str(), 240, &folder)) {
            return folder;
        }
        const SettingsFolderRefusal& refusal = PlatformSettingsFolderRefusal();
        return Refused(refusal.reason, refusal.error, folder);
    }
    static std::string Refused(SettingsFolderReason result, int error, const std::string& path) {
        return "refused " + std::to_string(result) + "/" + std::to_string(error) + ": " + path;
    }

    static mode_t Mode(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    std::string root_;
    ScopedEnv home_{"HOME", nullptr};
    ScopedEnv xdg_{"XDG_CONFIG_HOME", nullptr};
    ScopedEnv runFolder_{"TAVLOADER_DIR", nullptr};
};

TEST_F(SettingsFolderTest, ProgramOutsideTheInstallFolderKeepsThemBesideItself) {
    EXPECT_EQ(Folder(""), "");
    EXPECT_EQ(Folder(Path("home")), "");
    EXPECT_EQ(Folder(Path("bin"), "no/such/folder/tavram"), "");  // nothing to decide on
    EXPECT_EQ(Mode(Path("home/.config")), 0u) << "nothing is created";
}

TEST_F(SettingsFolderTest, InstalledProgramUsesTheUserFolderCreatedPrivate) {
    EXPECT_EQ(Folder(Path("bin")), Path("home/.config/tavloader"));
    EXPECT_EQ(Mode(Path("home/.config")), 0700u);
    EXPECT_EQ(Mode(Path("home/.config/tavloader")), 0700u);
    // The install folder reached through a link is the same folder.
    ASSERT_EQ(symlink(Path("bin").c_str(), Path("linked").c_str()), 0);
    EXPECT_EQ(Folder(Path("linked")), Path("home/.config/tavloader"));
    EXPECT_EQ(Folder(Path("bin"), "linked/tavram.EXE"), Path("home/.config/tavloader"));
}

TEST_F(SettingsFolderTest, ConfigHomeWinsWhenAbsolute) {
    setenv("XDG_CONFIG_HOME", Path("xdg/deeper/").c_str(), 1);
    EXPECT_EQ(Folder(Path("bin")), Path("xdg/deeper/tavloader"));
    EXPECT_EQ(Mode(Path("xdg/deeper/tavloader")), 0700u);
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(Folder(Path("bin")), Path("home/.config/tavloader"));
    const std::string unnamed = Refused(SettingsFolderUnnamed, 0, "$HOME/.config/tavloader");
    unsetenv("HOME");
    EXPECT_EQ(Folder(Path("bin")), unnamed) << "no folder to name: never beside the program";
    setenv("HOME", "", 1);
    EXPECT_EQ(Folder(Path("bin")), unnamed);
    std::string folder;
    EXPECT_FALSE(PlatformSettingsFolderFor(nullptr, "", 240, &folder));
    EXPECT_EQ(PlatformSettingsFolderRefusal().reason, SettingsFolderUnnamed)
        << "a program found nowhere has no folder";
}

TEST_F(SettingsFolderTest, FolderThatCannotBeMadeOrDoesNotFitIsRefusedAndNothingIsLeft) {
    ASSERT_EQ(system(("touch '" + Path("home/.config") + "'").c_str()), 0);
    EXPECT_EQ(Folder(Path("bin")),
              Refused(SettingsFolderCannotMake, ENOTDIR, Path("home/.config/tavloader")));
    const std::string deep = Path("new/" + std::string(240, 'x'));
    setenv("XDG_CONFIG_HOME", deep.c_str(), 1);
    EXPECT_EQ(Folder(Path("bin")), Refused(SettingsFolderTooLong, 0, deep + "/tavloader"));
    EXPECT_EQ(Mode(Path("new")), 0u) << "nothing is made";
}

// One rule for every folder the settings and COM entries come from, the program's own
// included: the user's or root's, and no one else may write it, sticky or not. HOME is unset
// throughout: only the configuration folder needs it (here XDG_CONFIG_HOME names that).
TEST_F(SettingsFolderTest, OneTrustRuleForEveryFolderTheProgramsOwnIncluded) {
    ScopedEnv noHome("HOME", nullptr);
    setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
    for (const char* folder : {"run", "config", "config/tavloader"}) {
        ASSERT_EQ(mkdir(Path(folder).c_str(), 0700), 0);
    }
    ASSERT_EQ(symlink(Path("run").c_str(), Path("link").c_str()), 0);
    const auto others = [](std::string f) { return Refused(SettingsFolderOpenToOthers, 0, f); };
    const auto notOwned = [](std::string f) { return Refused(SettingsFolderNotOwned, 0, f); };
    const std::string tooLong = Path(std::string(240, 'x'));
    struct Row {
        const char* what;
        std::string run;  // TAVLOADER_DIR; "-": unset
        const char* changed;
        mode_t mode;
        bool givenAway;
        std::string expected;
    };
    const Row rows[] = {
        {"private", Path("run"), "run", 0700, false, Path("run")},
        {"sticky, private", Path("run") + "/", "run", 01700, false, Path("run")},
        {"group may write", Path("run"), "run", 0770, false, others(Path("run"))},
        {"all may write", Path("run"), "run", 0777, false, others(Path("run"))},
        {"sticky, all may write", Path("run"), "run", 01777, false, others(Path("run"))},
        {"/tmp, root's and sticky", "/tmp", "run", 0700, false, others("/tmp")},
        {"another user's", Path("run"), "run", 0700, true, notOwned(Path("run"))},
        {"a link to the user's", Path("link"), "run", 0700, false, Path("link")},
        {"a link to another user's", Path("link"), "run", 0700, true, notOwned(Path("link"))},
        {"missing", Path("none"), "run", 0700, false,
         Refused(SettingsFolderMissing, ENOENT, Path("none"))},
        {"a file", "/dev/null", "run", 0700, false,
         Refused(SettingsFolderMissing, ENOTDIR, "/dev/null")},
        {"over-long", tooLong, "run", 0700, false, Refused(SettingsFolderTooLong, 0, tooLong)},
        {"empty: the program's own", "", "bin", 0755, false, ""},
        {"the program's own, sticky, all may write", "-", "bin", 01777, false, others(Path("bin"))},
        {"the program's own, another user's", "-", "bin", 0755, true, notOwned(Path("bin"))},
        {"configuration, group may write", "-", "config/tavloader", 0770, false,
         others(Path("config/tavloader"))},
    };
    for (const Row& row : rows) {
        if (row.givenAway && geteuid() != 0) {
            continue;
        }
        const std::string changed = Path(row.changed);
        ASSERT_EQ(chmod(changed.c_str(), row.mode), 0);
        ASSERT_EQ(chown(changed.c_str(), row.givenAway ? 65534 : geteuid(), getegid()), 0);
        ScopedEnv run("TAVLOADER_DIR", row.run == "-" ? nullptr : row.run.c_str());
        const bool installed = std::string(row.changed).rfind("config", 0) == 0;
        EXPECT_EQ(Folder(installed ? Path("bin") : ""), row.expected) << row.what;
        ASSERT_EQ(chown(changed.c_str(), geteuid(), getegid()), 0);
        ASSERT_EQ(chmod(changed.c_str(), 0755), 0);
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "the rows of another user's folders need root to give one away";
    }
}

// The folder is opened once: renamed away after its check, with another in its place, the
// settings file and the COM entries still come from the folder that was checked.
TEST_F(SettingsFolderTest, FolderSwappedAfterItsCheckIsNotUsedAndReadOnlyIsTheMode) {
    ASSERT_EQ(mkdir(Path("run").c_str(), 0700), 0);
    WriteTextFile(Path("run/tavram.SET"), "PORT=COM2\n");
    ASSERT_EQ(symlink("/dev/null", Path("run/COM1").c_str()), 0);  // no tty: ENOTTY
    const int unbound = socket(AF_UNIX, SOCK_STREAM, 0);  // bound, not listening: ECONNREFUSED
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", Path("run/COM2").c_str());
    ASSERT_EQ(bind(unbound, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ScopedEnv run("TAVLOADER_DIR", Path("run").c_str());
    ASSERT_EQ(Folder(""), Path("run"));
    SerialSetDeviceFolder(Path("run").c_str(), PlatformSettingsFolderHandle());

    ASSERT_EQ(rename(Path("run").c_str(), Path("checked").c_str()), 0);
    ASSERT_EQ(mkdir(Path("run").c_str(), 0777), 0);
    WriteTextFile(Path("run/tavram.SET"), "PORT=COM3\n");
    const std::string settings = Path("run/tavram.SET");
    FILE* file = PlatformOpenSettingsRead(settings.c_str());
    int port = 0;
    EXPECT_TRUE(file != nullptr && fscanf(file, "PORT=COM%d", &port) == 1 && fclose(file) == 0);
    EXPECT_EQ(port, 2);
    file = PlatformBeginSettingsWrite(settings.c_str());
    ASSERT_NE(file, nullptr);
    fputs("PORT=COM4\n", file);
    ASSERT_TRUE(PlatformFinishSettingsWrite(file));
    EXPECT_EQ(ReadTextFile(Path("checked/tavram.SET")), "PORT=COM4\n");
    EXPECT_EQ(ReadTextFile(settings), "PORT=COM3\n");
    // Read-only is the file's mode, for root too: such a settings file is left as it is.
    ASSERT_EQ(chmod(Path("checked/tavram.SET").c_str(), 0444), 0);
    EXPECT_EQ(PlatformBeginSettingsWrite(settings.c_str()), nullptr);
    for (const auto& [name, error] : {std::pair{"COM1", ENOTTY}, {"COM2", ECONNREFUSED}}) {
        EXPECT_EQ(SerialOpen(name), nullptr);
        EXPECT_EQ(SerialLastError(), error) << name << " (ENOENT: the new folder's)";
    }
    close(unbound);
    SerialSetDeviceFolder(".", -1);
}

// A settings write cut short leaves no new file: it goes on every way out, and what a killed
// run left is removed at the next start when its process is gone and it is the user's.
TEST_F(SettingsFolderTest, WritesCutShortLeaveNoNewFiles) {
    ASSERT_EQ(mkdir(Path("run").c_str(), 0700), 0);
    ScopedEnv run("TAVLOADER_DIR", Path("run").c_str());
    ASSERT_EQ(Folder(""), Path("run"));
    const std::string settings = Path("run/tavram.SET");
    pid_t child = -1;  // the last one is gone, to have left a file below
    for (const auto& [signal, code] : {std::pair{0, 0}, {SIGTERM, 2}, {SIGINT, 2}}) {
        fflush(nullptr);
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            PlatformInstallExitHandlers();
            if (PlatformBeginSettingsWrite(settings.c_str()) == nullptr) {
                _exit(3);
            }
            if (signal == 0) {
                PlatformExit(0);
            }
            raise(signal);
            _exit(4);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == code) << signal;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Path("run")), {}), 0) << signal;
    }
    const std::string dead = std::to_string(child);
    const std::pair<std::string, bool> left[] = {{"tavram.SET." + dead + "-0.new", false},
                                                 {"tavram.SET." + dead + "-1.new", geteuid() == 0},
                                                 {"tavram.SET.1-0.new", true},
                                                 {"tavfla.SET." + dead + "-0.new", true},
                                                 {"tavram.SET." + dead + "-0.old", true}};
    for (const auto& [name, kept] : left) {
        WriteTextFile(Path("run/" + name), "PORT=CO");
    }
    if (geteuid() == 0) {  // another user's stays
        ASSERT_EQ(chown(Path("run/" + left[1].first).c_str(), 65534, 65534), 0);
    }
    PlatformRemoveStaleWrites(settings.c_str());
    for (const auto& [name, kept] : left) {
        EXPECT_EQ(std::filesystem::exists(Path("run/" + name)), kept) << name;
    }
}

// Root may write anywhere, so the unwritable folder is tried as an unprivileged user.
TEST_F(SettingsFolderTest, UnwritableFolderUsesTheUserFolder) {
    ASSERT_EQ(chmod(Path("bin").c_str(), 0555), 0);
    uid_t user = getuid();
    gid_t group = getgid();
    if (geteuid() == 0) {
        const struct passwd* nobody = getpwnam("nobody");
        user = nobody != nullptr ? nobody->pw_uid : 65534;
        group = nobody != nullptr ? nobody->pw_gid : 65534;
        ASSERT_EQ(chown(Path("home").c_str(), user, group), 0);
    }
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        if ((geteuid() == 0 && (setgid(group) != 0 || setuid(user) != 0))) {
            _exit(3);
        }
        std::string folder;
        const bool chosen = PlatformSettingsFolderFor(Path("bin/tavram").c_str(), "", 240, &folder);
        const std::string answer = chosen && !folder.empty() ? folder : "-";
        _exit(write(fds[1], answer.c_str(), answer.size()) == static_cast<ssize_t>(answer.size())
                  ? 0
                  : 4);
    }
    close(fds[1]);
    std::string answer;
    char buffer[300];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(answer, Path("home/.config/tavloader"));
}

}  // namespace
