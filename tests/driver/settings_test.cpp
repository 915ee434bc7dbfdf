// Settings file: its path from the start path, reading with its corrections, writing.
#include <sys/stat.h>

#include <cstdlib>

#include "flashloader/download_mode.h"
#include "ramloader/tavram_fixture.h"

namespace {

void NoUsage() {}
const LoaderRun kRam = {NoUsage, nullptr};
const LoaderRun kFlash = {NoUsage, &kDownloadModeSetting};

std::string SetPathFor(const char* programPath) {
    char out[kPathBufferSize];
    if (!SettingsPathFromProgramPath(programPath, out, sizeof out)) {
        return "<refused>";
    }
    return out;
}

TEST(SettingsPathTest, ExtensionOfTheLastComponentOnly) {
    EXPECT_EQ(SetPathFor("C:\\TOOLS\\TAVRAM.EXE"), "C:\\TOOLS\\TAVRAM.SET");
    EXPECT_EQ(SetPathFor("C:\\TAVRAM.OLD\\TAVRAM.EXE"), "C:\\TAVRAM.OLD\\TAVRAM.SET");
    EXPECT_EQ(SetPathFor("/opt/tavram.d/tavram"), "/opt/tavram.d/tavram.SET");
    EXPECT_EQ(SetPathFor("/usr/local/bin/tavram"), "/usr/local/bin/tavram.SET");
    EXPECT_EQ(SetPathFor("./build/bin/tavram.EXE"), "./build/bin/tavram.SET");
    EXPECT_EQ(SetPathFor("C:\\TOOLS\\tavram.exe.EXE"), "C:\\TOOLS\\tavram.SET");
    EXPECT_EQ(SetPathFor("C:TAVRAM.EXE"), "C:TAVRAM.SET");
    EXPECT_EQ(SetPathFor("TAVRAM.EXE"), "TAVRAM.SET");
}

TEST(SettingsPathTest, ResultThatDoesNotFitIsRefused) {
    char out[14];
    EXPECT_TRUE(SettingsPathFromProgramPath("/a/tavram", out, sizeof out));  // fits exactly
    EXPECT_STREQ(out, "/a/tavram.SET");
    EXPECT_FALSE(SettingsPathFromProgramPath("/ab/tavram", out, sizeof out));
}

class FormSettingsPathTest : public RamLoaderTest {
  protected:
    int Form(const std::string& startPath) {
        return FakeRunCapturing([&] { FormSettingsPath(startPath.c_str()); }, &output);
    }
};

TEST_F(FormSettingsPathTest, StartPathWithFolder) {
    EXPECT_EQ(Form("./build/bin/tavram"), -1);
    EXPECT_STREQ(SettingsPath, "./build/bin/tavram.SET");
    EXPECT_EQ(Form("C:\\TOOLS\\TAVRAM.EXE"), -1);
    EXPECT_STREQ(SettingsPath, "C:\\TOOLS\\TAVRAM.SET");
    EXPECT_EQ(Form("C:\\TAVRAM.OLD\\TAVRAM.EXE"), -1);
    EXPECT_STREQ(SettingsPath, "C:\\TAVRAM.OLD\\TAVRAM.SET");
    // ".EXE" is looked for in upper case only; the lower-case one is then cut off too.
    EXPECT_EQ(Form("C:\\TOOLS\\tavram.exe"), -1);
    EXPECT_STREQ(SettingsPath, "C:\\TOOLS\\tavram.SET");
    EXPECT_EQ(output, "");
}

TEST_F(FormSettingsPathTest, BareNameIsSearchedAlongPath) {
    std::filesystem::create_directory(Path("bin"));
    WriteFile("bin/myloader", "#!/bin/sh\n");
    chmod(Path("bin/myloader").c_str(), 0755);
    std::filesystem::create_directory(Path("elsewhere"));
    std::filesystem::current_path(Path("elsewhere"));
    const char* oldPath = getenv("PATH");
    const std::string saved = oldPath != nullptr ? oldPath : "";
    setenv("PATH", Path("bin").c_str(), 1);
    const int code = Form("myloader");
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(std::string(SettingsPath), Path("bin/myloader.SET"));
}

TEST_F(FormSettingsPathTest, BareNameNotFoundUsesTheUserFolderNeverTheCurrentOne) {
    ScopedEnv home("HOME", Path("home").c_str());
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(Form("no_such_loader_here.exe"), -1);
    EXPECT_EQ(std::string(SettingsPath), Path("home/.config/tavloader/no_such_loader_here.SET"));
}

TEST_F(FormSettingsPathTest, TavloaderDirHoldsTheSettingsOrEndsTheRunNamingTheFolder) {
    std::filesystem::create_directory(Path("run"));
    const std::string tooLong = Path(std::string(240, 'x'));
    const std::pair<std::string, std::string> cases[] = {
        {Path("none"), "\nOpen Of Settings Folder " + Path("none") + " Failed: 2\n"},
        {tooLong, "\nSettings Folder " + tooLong + " Too Long (More Than 248 Characters)\n"},
        {Path("run"), ""}};
    for (const auto& [folder, message] : cases) {
        ScopedEnv run("TAVLOADER_DIR", folder.c_str());
        EXPECT_EQ(Form(Path("bin/tavram")), message.empty() ? -1 : 2);
        EXPECT_EQ(output, message);
    }
    EXPECT_EQ(std::string(SettingsPath), Path("run/tavram.SET"));
    ScopedEnv home("HOME", nullptr);
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(Form("no_such_loader_here"), 2);
    EXPECT_EQ(output,
              "\nSettings Folder $HOME/.config/tavloader Unknown: HOME Not Set Or Not Absolute\n");
}

TEST_F(FormSettingsPathTest, OverLongStartPathIsRefused) {
    const std::string fits = "/" + std::string(254, 'a');  // 255 characters + ".EXE" fits
    EXPECT_EQ(Form(fits), -1);
    EXPECT_EQ(std::string(SettingsPath), fits + ".SET");
    EXPECT_EQ(Form(fits + "b"), 2);
    EXPECT_EQ(output, "\nProgram Path Too Long (More Than 255 Characters)\n");
}

class ReadSettingsTest : public RamLoaderTest {
  protected:
    void Read(const LoaderRun& kind = kRam) {
        FakeReset();
        ResetDriverState();
        FormSettingsPath(Path("tavram").c_str());
        ReadSettingsFile(kind);
    }
    void ReadText(const std::string& text, const LoaderRun& kind = kRam) {
        WriteFile("tavram.SET", text);
        Read(kind);
    }
};

TEST_F(ReadSettingsTest, MissingFileGivesDefaultsAndAsksForAWrite) {
    Read();
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(State.CurrentBaud, 115200);
    EXPECT_TRUE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, EndOfFileIsNoReasonToRewrite) {
    ReadText("");
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(State.CurrentBaud, 115200);
    EXPECT_FALSE(State.SettingsChanged);

    ReadText("PORT=COM3\n");
    EXPECT_EQ(State.PortNumber, 3);
    EXPECT_EQ(State.CurrentBaud, 115200);
    EXPECT_FALSE(State.SettingsChanged);

    ReadText("PORT=CO");  // the end of the file inside the literal text
    EXPECT_FALSE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, ValidLinesAlsoWithCrLfAndBlankLines) {
    ReadText("PORT=COM2\r\n\r\nBAUD=38400\r\n");
    EXPECT_EQ(State.PortNumber, 2);
    EXPECT_EQ(State.CurrentBaud, 38400);
    EXPECT_FALSE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, LinesInTheWrongOrder) {
    // The port scan stops at "B"; the baud scan then starts there and reads its line.
    ReadText("BAUD=38400\nPORT=COM3\n");
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(State.CurrentBaud, 38400);
    EXPECT_TRUE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, MismatchesAndOutOfRangeValuesAreCorrected) {
    ReadText("PORT=COM7\nBAUD=38400\n");
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_TRUE(State.SettingsChanged);

    ReadText("PORT=COM0\nBAUD=9600\n");
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(State.CurrentBaud, 115200);
    EXPECT_TRUE(State.SettingsChanged);

    ReadText("port=com2\nBAUD=38400\n");  // literal text is case-sensitive
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_TRUE(State.SettingsChanged);

    ReadText("PORT=COMx\n");
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_TRUE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, ModeLineOfTheFlashLoader) {
    ReadText("PORT=COM2\nBAUD=38400\nMODE=F\n", kFlash);
    EXPECT_EQ(DownloadMode, 'f');
    EXPECT_FALSE(State.SettingsChanged);  // lowering the case alone asks for no rewrite

    ReadText("PORT=COM2\nBAUD=38400\nMODE=x\n", kFlash);
    EXPECT_EQ(DownloadMode, 's');
    EXPECT_TRUE(State.SettingsChanged);

    ReadText("PORT=COM3\n", kFlash);
    EXPECT_EQ(State.PortNumber, 3);
    EXPECT_EQ(DownloadMode, 's');
    EXPECT_FALSE(State.SettingsChanged);

    ReadText("PORT=COM2\nBAUD=38400\nMODE=f\n", kRam);  // the RAM loader ignores it
    EXPECT_EQ(DownloadMode, 's');
    EXPECT_FALSE(State.SettingsChanged);
}

TEST_F(ReadSettingsTest, WriteUsesThePatterns) {
    Read();
    State.PortNumber = 3;
    State.CurrentBaud = 38400;
    WriteSettingsFile(kRam);
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM3\nBAUD=38400\n");
    DownloadMode = 'f';
    WriteSettingsFile(kFlash);
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM3\nBAUD=38400\nMODE=f\n");
}

TEST_F(ReadSettingsTest, EntryThatIsNoRegularFileCountsAsMissingAndIsLeftAlone) {
    ASSERT_EQ(mkfifo(SettingsFile().c_str(), 0600), 0);  // an open would wait for a writer
    Read();
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(State.CurrentBaud, 115200);
    EXPECT_TRUE(State.SettingsChanged);
    EXPECT_EQ(FakeRunCapturing([] { WriteSettingsFile(kRam); }, &output), -1);
    struct stat st;
    ASSERT_EQ(stat(SettingsFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(ReadSettingsTest, FileThatCannotBeCreatedIsPassedOverSilently) {
    FakeReset();
    FormSettingsPath(Path("no/such/folder/tavram").c_str());
    EXPECT_EQ(FakeRunCapturing([] { WriteSettingsFile(kRam); }, &output), -1);
    EXPECT_EQ(output, "");
}

}  // namespace
