// Where a program keeps its settings and COM entries: beside itself, in the user's
// configuration folder when it runs from the install folder or an unwritable one, or in
// TAVLOADER_DIR; and which folders from the environment are refused.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/files.h"
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
        chmod(Path("bin").c_str(), 0755);
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

    // The folder chosen for a program in bin/, "" for "beside the program", or the refusal.
    std::string Folder(const std::string& installFolder,
                       const std::string& program = "bin/tavram") {
        const SettingsFolder folder =
            PlatformSettingsFolderFor(Path(program).c_str(), installFolder.c_str(), 240);
        if (folder.result == SettingsFolderChosen || folder.result == SettingsFolderBesideProgram) {
            return folder.path;
        }
        return Refused(folder.result, folder.error, folder.path);
    }
    static std::string Refused(SettingsFolderResult result, int error, const std::string& path) {
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
    EXPECT_EQ(PlatformSettingsFolderFor(nullptr, "", 240).result, SettingsFolderUnnamed)
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

TEST_F(SettingsFolderTest, FolderFromTheEnvironmentOnlyWhenTheUsersOwnAndClosedToOthers) {
    const std::string make = "mkdir -p '" + Path("home/.config/tavloader") + "' '" + Path("run");
    ASSERT_EQ(system((make + "'").c_str()), 0);
    const std::pair<mode_t, SettingsFolderResult> cases[] = {{0700, SettingsFolderChosen},
                                                             {01777, SettingsFolderChosen},
                                                             {0770, SettingsFolderOpenToOthers},
                                                             {0702, SettingsFolderOpenToOthers}};
    for (const auto& [mode, result] : cases) {
        for (const std::string folder : {"run", "home/.config/tavloader"}) {
            ASSERT_EQ(chmod(Path(folder).c_str(), mode), 0);
            ScopedEnv run("TAVLOADER_DIR", folder == "run" ? Path("run/").c_str() : nullptr);
            EXPECT_EQ(Folder(Path("bin")), result == SettingsFolderChosen
                                               ? Path(folder)
                                               : Refused(result, 0, Path(folder)))
                << mode;
        }
    }
    // TAVLOADER_DIR names no folder, or another user's: one given away by root, or the root
    // folder for anyone else.
    std::string others = "/";
    if (geteuid() == 0) {
        others = Path("run");
        ASSERT_EQ(chown(others.c_str(), 65534, 65534), 0);
    }
    const std::pair<std::string, std::string> named[] = {
        {Path("none"), Refused(SettingsFolderMissing, ENOENT, Path("none"))},
        {"/dev/null", Refused(SettingsFolderMissing, ENOTDIR, "/dev/null")},
        {others, Refused(SettingsFolderNotOwned, 0, others)}};
    for (const auto& [folder, expected] : named) {
        ScopedEnv run("TAVLOADER_DIR", folder.c_str());
        EXPECT_EQ(Folder(""), expected);
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
        const SettingsFolder folder =
            PlatformSettingsFolderFor(Path("bin/tavram").c_str(), "", 240);
        const std::string answer = folder.result == SettingsFolderChosen ? folder.path : "-";
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
