// File-system services: case-insensitive lane file lookup, program search, file time text.
#include "platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <string>

#include "platform/platform_testing.h"
#include "support/files.h"

namespace {

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/filestestXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        root_ = folder;
        ASSERT_NE(getcwd(savedCwd_, sizeof(savedCwd_)), nullptr);
        const char* path = getenv("PATH");
        hadPath_ = path != nullptr;
        savedPath_ = hadPath_ ? path : "";
    }

    void TearDown() override {
        ASSERT_EQ(chdir(savedCwd_), 0);
        if (hadPath_) {
            setenv("PATH", savedPath_.c_str(), 1);
        }
        std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    void MakeFolder(const std::string& relative) {
        ASSERT_EQ(mkdir((root_ + "/" + relative).c_str(), 0755), 0);
    }

    void MakeFile(const std::string& relative, const std::string& text = "data") {
        FILE* file = fopen((root_ + "/" + relative).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        fputs(text.c_str(), file);
        fclose(file);
    }

    std::string ReadAll(FILE* file) {
        std::string text;
        int c;
        while ((c = fgetc(file)) != EOF) {
            text += static_cast<char>(c);
        }
        fclose(file);
        return text;
    }

    std::string root_;
    char savedCwd_[4096];
    bool hadPath_ = false;
    std::string savedPath_;
};

TEST_F(FilesTest, LaneFilesFoundWhateverTheirCase) {
    MakeFolder("Work");
    MakeFile("Work/Prog.X0", "lane0");
    char out[260];

    // Absolute path, folder component and file name both in other case.
    std::string wanted = root_ + "/WORK/PROG.X0";
    ASSERT_TRUE(PlatformResolvePath(wanted.c_str(), out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/Work/Prog.X0");
    FILE* file = PlatformOpenRead(wanted.c_str());
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadAll(file), "lane0");

    // Relative path from the current folder.
    ASSERT_EQ(chdir(root_.c_str()), 0);
    ASSERT_TRUE(PlatformResolvePath("work/prog.x0", out, sizeof(out)));
    EXPECT_EQ(std::string(out), "Work/Prog.X0");
    ASSERT_TRUE(PlatformResolvePath("./WORK//PROG.X0", out, sizeof(out)));
    EXPECT_EQ(std::string(out), "./Work/Prog.X0");
    file = PlatformOpenRead("PROG.X0");
    EXPECT_EQ(file, nullptr);  // not in this folder
}

TEST_F(FilesTest, ExactNameWinsAndMissingNamesStayMissing) {
    MakeFile("PROG.X1", "upper");
    MakeFile("prog.x1", "lower");
    ASSERT_EQ(chdir(root_.c_str()), 0);
    char out[260];
    ASSERT_TRUE(PlatformResolvePath("PROG.X1", out, sizeof(out)));
    EXPECT_EQ(std::string(out), "PROG.X1");
    FILE* file = PlatformOpenRead("prog.x1");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadAll(file), "lower");

    EXPECT_FALSE(PlatformResolvePath("PROG.X2", out, sizeof(out)));
    EXPECT_EQ(std::string(out), "PROG.X2");
    EXPECT_EQ(PlatformOpenRead("PROG.X2"), nullptr);
    EXPECT_FALSE(PlatformResolvePath("NOFOLDER/PROG.X1", out, sizeof(out)));
}

TEST_F(FilesTest, ProgramSearchAlongPathInOrderNeverInTheCurrentFolder) {
    MakeFolder("here");
    MakeFolder("first");
    MakeFolder("second");
    MakeFile("second/tool");
    MakeFolder("first/decoy");  // a folder of the name is not a program
    char out[260];

    std::string path = root_ + "/first/decoy:" + root_ + "/first:" + root_ + "/second/";
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(chdir((root_ + "/here").c_str()), 0);
    ASSERT_TRUE(PlatformFindProgram("tool", out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/second/tool");

    MakeFile("first/tool");
    ASSERT_TRUE(PlatformFindProgram("tool", out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/first/tool");

    // A file of the name in the current folder is never taken, whatever PATH lists.
    MakeFile("here/tool");
    ASSERT_TRUE(PlatformFindProgram("tool", out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/first/tool");
    for (const char* list : {"", ":", ".", "./", "../here"}) {
        setenv("PATH", list, 1);
        EXPECT_FALSE(PlatformFindProgram("tool", out, sizeof(out))) << "PATH=" << list;
    }
    setenv("PATH", path.c_str(), 1);

    // No room for the result: not found rather than cut.
    EXPECT_FALSE(PlatformFindProgram("tool", out, 5));
}

TEST_F(FilesTest, ProgramSearchFallsBackToTheBareName) {
    MakeFolder("bin");
    MakeFile("bin/tavtool");
    std::string path = root_ + "/bin";
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    char out[260];
    ASSERT_TRUE(PlatformFindProgram("tavtool.EXE", out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/bin/tavtool");

    MakeFile("bin/tavtool.EXE");
    ASSERT_TRUE(PlatformFindProgram("tavtool.EXE", out, sizeof(out)));
    EXPECT_EQ(std::string(out), root_ + "/bin/tavtool.EXE");

    EXPECT_FALSE(PlatformFindProgram("absent.EXE", out, sizeof(out)));
    EXPECT_FALSE(PlatformFindProgram("tavtool.exe", out, sizeof(out)));  // ".EXE" only
}

// Runs `open` with a bound: should it block on the FIFO at `fifo`, the FIFO is opened from
// this side too (which lets it go on) and the test fails.
template <typename Result>
Result WithoutBlocking(const std::string& fifo, std::function<Result()> open) {
    std::future<Result> result = std::async(std::launch::async, open);
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the open blocked on " << fifo;
        int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        Result value = result.get();
        close(fd);
        return value;
    }
    return result.get();
}

TEST_F(FilesTest, OnlyRegularFilesAreOpenedAndNothingBlocks) {
    MakeFolder("PROG.X1");
    const std::string fifo = root_ + "/PROG.X2";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(chdir(root_.c_str()), 0);

    EXPECT_EQ(PlatformOpenRead("PROG.X1"), nullptr);
    EXPECT_EQ(WithoutBlocking<FILE*>(fifo, [] { return PlatformOpenRead("prog.x2"); }), nullptr);
    EXPECT_EQ(
        WithoutBlocking<FILE*>(fifo, [] { return PlatformOpenRegularRead("PROG.X2", false); }),
        nullptr);
    EXPECT_EQ(PlatformOpenRegularRead("/dev/null", true), nullptr);
    FileTime time;
    EXPECT_FALSE(WithoutBlocking<bool>(fifo, [&] { return PlatformFileTime("PROG.X2", &time); }));
    EXPECT_EQ(PlatformFileTimeFailure(), FileTimeOpenFailed);

    // Writing leaves what is no regular file as it is.
    EXPECT_EQ(WithoutBlocking<FILE*>(fifo, [] { return PlatformBeginSettingsWrite("PROG.X2"); }),
              nullptr);
    EXPECT_EQ(PlatformBeginSettingsWrite("PROG.X1"), nullptr);
    struct stat st;
    ASSERT_EQ(stat("PROG.X2", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(stat("PROG.X1", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// The settings file is replaced as a whole, whatever stood at its place, and only a regular
// file is read back: a link there is neither read nor written through.
TEST_F(FilesTest, ReplacedFileIsWholeAndLinksAreNeverFollowed) {
    MakeFile("victim.txt", "PORT=COM4\n");
    MakeFile("TAVRAM.SET", "PORT=COM3\n");
    ASSERT_EQ(symlink("victim.txt", (root_ + "/LINK.SET").c_str()), 0);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    EXPECT_EQ(PlatformOpenSettingsRead("LINK.SET"), nullptr);
    const std::pair<const char*, const char*> cases[] = {
        {"TAVRAM.SET", "PORT=COM3\n"}, {"NEW.SET", "<missing>"}, {"LINK.SET", "PORT=COM4\n"}};
    for (const auto& [name, before] : cases) {
        FILE* file = PlatformBeginSettingsWrite(name);
        ASSERT_NE(file, nullptr) << name;
        fputs("PORT=COM2\n", file);
        fflush(file);
        EXPECT_EQ(ReadTextFile(name), before) << "whole until the new one is done";
        ASSERT_TRUE(PlatformFinishSettingsWrite(file));
        EXPECT_EQ(ReadTextFile(name), "PORT=COM2\n");
    }
    EXPECT_EQ(ReadTextFile("victim.txt"), "PORT=COM4\n");
    const auto entries = std::distance(std::filesystem::directory_iterator(root_), {});
    EXPECT_EQ(entries, 4) << "no new file is left beside them";
}

TEST_F(FilesTest, FileTimeTextInLocalTime) {
    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz != nullptr ? oldTz : "";
    setenv("TZ", "UTC", 1);
    tzset();

    MakeFile("prog.x0");
    // 5 March 2001, 14:07:09 UTC.
    struct timeval times[2] = {{983801229, 0}, {983801229, 0}};
    ASSERT_EQ(utimes((root_ + "/prog.x0").c_str(), times), 0);
    FileTime time;
    std::string upper = root_ + "/PROG.X0";
    EXPECT_TRUE(PlatformFileTime(upper.c_str(), &time));
    EXPECT_EQ(
        (std::vector<int>{time.year, time.month, time.day, time.hour, time.minute, time.second}),
        (std::vector<int>{2001, 3, 5, 14, 7, 9}));

    setenv("TZ", "CET-1", 1);  // local time follows the zone
    tzset();
    EXPECT_TRUE(PlatformFileTime(upper.c_str(), &time));
    EXPECT_EQ(time.hour, 15);

    std::string missing = root_ + "/none.x0";
    EXPECT_FALSE(PlatformFileTime(missing.c_str(), &time));
    EXPECT_EQ(PlatformFileTimeFailure(), FileTimeOpenFailed);

    if (oldTz != nullptr) {
        setenv("TZ", savedTz.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

}  // namespace
