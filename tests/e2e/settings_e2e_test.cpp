// Where the real tavram keeps its settings and finds COM1 when someone else set the scene:
// a decoy in the current folder, a link at the settings path, a folder others may write or
// own, and TAVLOADER_DIR giving a run its own folder.
#include <sys/stat.h>

#include "e2e_support.h"

namespace e2e {
namespace {

class SettingsE2e : public E2eTest {};

TEST_F(SettingsE2e, ProgramStartedByBareNameIgnoresADecoyInTheCurrentFolder) {
    fs::create_directory(Path("bin"));
    Install(TAVRAM_PATH, "bin/tavram");
    WriteTextFile(Path("tavram"), "");
    WriteTextFile(Path("notes.txt"), "my notes\n");
    ASSERT_EQ(symlink("notes.txt", Path("tavram.SET").c_str()), 0);
    ASSERT_EQ(symlink(Path("nothing.sock").c_str(), Path("COM1").c_str()), 0);
    Program program = RandomProgram(21, {{0x100, 50}}, 0x100);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    ASSERT_EQ(symlink(socket_.c_str(), Path("bin/COM1").c_str()), 0);
    runEnv_ = {"PATH=" + Path("bin")};
    RunResult run = Run("/bin/sh", {"-c", "exec tavram PROG"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(ReadTextFile(Path("notes.txt")), "my notes\n");
    EXPECT_EQ(ReadTextFile(Path("bin/tavram.SET")), "PORT=COM1\nBAUD=115200\n");
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

TEST_F(SettingsE2e, FolderOthersMayWriteOrOwnIsRefusedBeforeAnyPort) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    fs::create_directory(Path("run"));
    runEnv_ = {"TAVLOADER_DIR=" + Path("run")};
    const std::pair<mode_t, std::string> cases[] = {{0770, "Writable By Others"},
                                                    {0700, "Owned By Another User"}};
    for (const auto& [mode, reason] : cases) {
        if (mode == 0700) {
            if (geteuid() != 0) {
                GTEST_SKIP() << "a folder of another user needs root to make";
            }
            // As nobody could leave it for root (sudo -E keeps XDG_CONFIG_HOME).
            ASSERT_EQ(chown(Path("run").c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(chmod(Path("run").c_str(), mode), 0);
        RunResult run = Run(tavram, {"PROG"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output.substr(run.output.find("\n\n", 1) + 2),
                  "\nSettings Folder " + Path("run") + " Refused: " + reason + "\n");
        EXPECT_FALSE(fs::exists(Path("run/tavram.SET")));
    }
}

// The run's folder holds COM1 and a link at the settings path, which is replaced, never
// read or written through.
TEST_F(SettingsE2e, TavloaderDirHoldsTheSettingsAndCom1OfTheRun) {
    const std::string tavram = Install(TAVRAM_PATH, "tavram");
    ASSERT_EQ(symlink(Path("nothing.sock").c_str(), Path("COM1").c_str()), 0);
    fs::create_directory(Path("job"));
    WriteTextFile(Path("victim.txt"), "PORT=COM3\nBAUD=38400\n");
    ASSERT_EQ(symlink(Path("victim.txt").c_str(), Path("job/tavram.SET").c_str()), 0);
    Program program = RandomProgram(23, {{0x2000, 80}}, 0x2004);
    WriteLanes(program, "PROG");
    StartBoard({"--once", "--ram-image", Path("ram.txt")});
    ASSERT_EQ(symlink(socket_.c_str(), Path("job/COM1").c_str()), 0);
    runEnv_ = {"TAVLOADER_DIR=" + Path("job")};
    RunResult run = Run(tavram, {"PROG"});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(ReadTextFile(Path("job/tavram.SET")), "PORT=COM1\nBAUD=115200\n");
    EXPECT_FALSE(fs::is_symlink(Path("job/tavram.SET")));
    EXPECT_EQ(ReadTextFile(Path("victim.txt")), "PORT=COM3\nBAUD=38400\n");
    EXPECT_FALSE(fs::exists(Path("tavram.SET")));
    EXPECT_EQ(WaitBoardEnd(), 0);
    ExpectLoadedIntoRam(program);
}

}  // namespace
}  // namespace e2e
