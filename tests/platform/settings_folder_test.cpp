// Where an installed program keeps its settings and COM entries: beside itself, or in the
// user's configuration folder when it runs from the install folder or an unwritable one.
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/files.h"

namespace {

class SettingsFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/setfoldertestXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // reachable for the unprivileged child
        Save("HOME", &home_);
        Save("XDG_CONFIG_HOME", &xdg_);
        ASSERT_EQ(mkdir(Path("bin").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(Path("home").c_str(), 0755), 0);
        setenv("HOME", Path("home").c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
    }

    void TearDown() override {
        Restore("HOME", home_);
        Restore("XDG_CONFIG_HOME", xdg_);
        chmod(Path("bin").c_str(), 0755);
        ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    struct Saved {
        bool set = false;
        std::string value;
    };
    static void Save(const char* name, Saved* saved) {
        const char* value = getenv(name);
        saved->set = value != nullptr;
        saved->value = value != nullptr ? value : "";
    }
    static void Restore(const char* name, const Saved& saved) {
        if (saved.set) {
            setenv(name, saved.value.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

    std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

    // The folder chosen for a program in bin/, or "" for "beside the program".
    std::string Folder(const std::string& installFolder,
                       const std::string& program = "bin/tavram") {
        char out[260];
        if (!PlatformSettingsFolderFor(Path(program).c_str(), installFolder.c_str(), out,
                                       sizeof out)) {
            return "";
        }
        return out;
    }

    static mode_t Mode(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    std::string root_;
    Saved home_;
    Saved xdg_;
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
    unsetenv("HOME");
    EXPECT_EQ(Folder(Path("bin")), "") << "no folder to name: beside the program";
    setenv("HOME", "", 1);
    EXPECT_EQ(Folder(Path("bin")), "");
}

TEST_F(SettingsFolderTest, FolderThatCannotBeMadeOrDoesNotFitLeavesThemBesideTheProgram) {
    ASSERT_EQ(system(("touch '" + Path("home/.config") + "'").c_str()), 0);
    EXPECT_EQ(Folder(Path("bin")), "");
    setenv("XDG_CONFIG_HOME", Path(std::string(250, 'x')).c_str(), 1);
    EXPECT_EQ(Folder(Path("bin")), "");
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
        char out[260] = "";
        const bool moved =
            PlatformSettingsFolderFor(Path("bin/tavram").c_str(), "", out, sizeof out);
        const std::string answer = moved ? out : "-";
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
