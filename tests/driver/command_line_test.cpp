// Command line, usage text, program name prompt and lane files of the RAM loader.
#include <sys/stat.h>

#include "flashloader/download_mode.h"
#include "ramloader/tavram_fixture.h"

namespace {

const char* const kUsageWithoutSettings =
    "Extended Tektronix Hex Object Format\n\n"
    "Usage: TAVRAM <Source> [-C<n>]\n\n"
    "Source  - Filename Without Extension\n"
    "         (Default Extension Is .X0...X3)\n"
    "-C<n>   - Desired COM Port (1..4, Default = 1)\n\n"
    "Autodetect Baudrate Is 38400 Or 115200 Baud\n\n";

int usageCalls = 0;
void CountUsage() {
    ++usageCalls;
}
const LoaderRun kRam = {CountUsage, nullptr};
const LoaderRun kFlash = {CountUsage, &kDownloadModeSetting};

class CommandLineTest : public RamLoaderTest {
  protected:
    int Process(std::vector<std::string> args, const LoaderRun& kind = kRam) {
        args.insert(args.begin(), "tavram");
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(&arg[0]);
        }
        usageCalls = 0;
        return FakeRunCapturing(
            [&] { ProcessCommandLine(kind, static_cast<int>(argv.size()), argv.data()); }, &output);
    }
};

TEST_F(CommandLineTest, PortOptionInEitherCaseAlwaysAsksForASave) {
    for (const char* option : {"-c2", "-C2"}) {
        FakeReset();
        ResetDriverState();
        State.PortNumber = 2;
        EXPECT_EQ(Process({option}), -1);
        EXPECT_EQ(State.PortNumber, 2);
        EXPECT_TRUE(State.SettingsChanged) << option;
    }
}

TEST_F(CommandLineTest, PortValueOutOfRangeOrMissing) {
    EXPECT_EQ(Process({"-C3", "-C7"}), -1);
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(Process({"-C3", "-C99999999999999999999"}), -1);
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_EQ(Process({"-C4", "-C"}), -1);  // no number: the port stays
    EXPECT_EQ(State.PortNumber, 4);
    EXPECT_EQ(Process({"-C3x"}), -1);
    EXPECT_EQ(State.PortNumber, 3);
}

TEST_F(CommandLineTest, PortWithABlankTakesTheValueAsProgramName) {
    EXPECT_EQ(Process({"-C", "2"}), -1);
    EXPECT_EQ(State.PortNumber, 1);
    EXPECT_TRUE(State.SettingsChanged);
    EXPECT_STREQ(ProgramName, "2");
}

TEST_F(CommandLineTest, HelpEndsAtOnce) {
    EXPECT_EQ(Process({"-C2", "-H", "-C3", "later"}), 0);
    EXPECT_EQ(usageCalls, 1);
    EXPECT_EQ(State.PortNumber, 2);
    EXPECT_STREQ(ProgramName, "");
    EXPECT_EQ(Process({"-h"}), 0);
    EXPECT_EQ(Process({"?"}), 0);
    EXPECT_EQ(Process({"?xyz"}), 0);
    EXPECT_EQ(usageCalls, 1);
}

TEST_F(CommandLineTest, OtherOptionsAndNames) {
    EXPECT_EQ(Process({"-x", "-d", "-", "-Mf", "/C2"}), -1);
    EXPECT_FALSE(State.SettingsChanged);
    EXPECT_FALSE(State.Verbose);
    EXPECT_STREQ(ProgramName, "/C2");  // "/" is no option
    EXPECT_EQ(output, "");

    EXPECT_EQ(Process({"-i"}), -1);
    EXPECT_TRUE(State.Verbose);

    EXPECT_EQ(Process({"alpha", "beta"}), -1);
    EXPECT_STREQ(ProgramName, "BETA");
    EXPECT_EQ(Process({"Work/Prog_1.x0"}), -1);
    EXPECT_STREQ(ProgramName, "WORK/PROG_1.X0");
}

TEST_F(CommandLineTest, ModeOptionOfTheFlashLoader) {
    EXPECT_EQ(Process({"-c3", "-mf"}, kFlash), -1);
    EXPECT_EQ(State.PortNumber, 3);
    EXPECT_EQ(DownloadMode, 'f');
    EXPECT_EQ(Process({"-M"}, kFlash), -1);  // nothing after the letter: unchanged
    EXPECT_EQ(DownloadMode, 'f');
    EXPECT_TRUE(State.SettingsChanged);
    EXPECT_EQ(Process({"-Mz"}, kFlash), -1);
    EXPECT_EQ(DownloadMode, 's');
    EXPECT_EQ(Process({"-MFast"}, kFlash), -1);
    EXPECT_EQ(DownloadMode, 'f');
}

TEST_F(CommandLineTest, OverLongNameIsRefused) {
    EXPECT_EQ(Process({std::string(256, 'a')}), -1);
    EXPECT_EQ(std::string(ProgramName), std::string(256, 'A'));
    EXPECT_EQ(Process({std::string(257, 'a')}), 2);
    EXPECT_EQ(output, "\nProgram Name Too Long (More Than 256 Characters)\n");
}

TEST_F(RamLoaderTest, UsageTextShowsTheSettingsAsTheyStand) {
    WriteFile("tavram.SET", "PORT=COM3\nBAUD=38400\n");
    EXPECT_EQ(RunTavram({"-C2", "-H"}), 0);
    EXPECT_EQ(output,
              Banner() + kUsageWithoutSettings + "Current Settings: PORT = COM2, BAUD = 38400\n\n");
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM3\nBAUD=38400\n");  // not saved

    FakeReset();
    ResetDriverState();
    EXPECT_EQ(RunTavram({"-H", "-C2"}), 0);
    EXPECT_EQ(output,
              Banner() + kUsageWithoutSettings + "Current Settings: PORT = COM3, BAUD = 38400\n\n");

    FakeReset();
    ResetDriverState();
    EXPECT_EQ(RunTavram({"?"}), 0);
    EXPECT_EQ(output,
              Banner() + kUsageWithoutSettings + "Current Settings: PORT = COM3, BAUD = 38400\n\n");
}

TEST_F(RamLoaderTest, NoArgumentsNoSettingsFileSavesThenPrompts) {
    SetStdin("");
    EXPECT_EQ(RunTavram({}), 2);
    EXPECT_EQ(output, Banner() + "Using Port  : COM1\nFile To Load : \nNo Program Name Given\n");
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM1\nBAUD=115200\n");
}

TEST_F(RamLoaderTest, PromptReadsOneWordAndUpperCasesIt) {
    WriteFile("tavram.SET", "PORT=COM1\nBAUD=115200\n");
    SetStdin("  \n prog other\n");
    EXPECT_EQ(RunTavram({}), 2);
    EXPECT_EQ(output,
              Banner() + "Using Port  : COM1\nFile To Load : \n" + "\nCan't Open File PROG.X0\n");
    EXPECT_STREQ(ProgramName, "PROG");
}

TEST_F(RamLoaderTest, OverLongNameAtThePromptIsRefused) {
    WriteFile("tavram.SET", "PORT=COM1\nBAUD=115200\n");
    SetStdin(std::string(257, 'p') + "\n");
    EXPECT_EQ(RunTavram({}), 2);
    EXPECT_EQ(output, Banner() + "Using Port  : COM1\nFile To Load : " +
                          "\nProgram Name Too Long (More Than 256 Characters)\n");
}

TEST_F(RamLoaderTest, NameWithAnExtensionIsRefusedAfterTheSave) {
    EXPECT_EQ(RunTavram({"-C2", "prog.x0"}), 2);
    EXPECT_EQ(output, Banner() + "Using Port  : COM2\n\nFilename Extension Is Not Allowed");
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM2\nBAUD=115200\n");

    FakeReset();
    ResetDriverState();
    EXPECT_EQ(RunTavram({"sub.dir/prog"}), 2);
    EXPECT_EQ(output, Banner() + "Using Port  : COM2\n\nFilename Extension Is Not Allowed");
}

TEST_F(RamLoaderTest, MissingLaneFileEndsBeforeThePortIsOpened) {
    WriteFile("tavram.SET", "PORT=COM1\nBAUD=115200\n");
    WriteLanes("PROG", WorkedExample());
    std::filesystem::remove(Path("PROG.X2"));
    EXPECT_EQ(RunTavram({"prog"}), 2);
    EXPECT_EQ(output, Banner() +
                          "Using Port  : COM1\nLoading File: PROG.X0\nLoading File: PROG.X1\n"
                          "\nCan't Open File PROG.X2\n");
    EXPECT_FALSE(FakePortOpen());
    EXPECT_EQ(ReadFile("tavram.SET"), "PORT=COM1\nBAUD=115200\n");
}

TEST_F(RamLoaderTest, LaneThatIsNoRegularFileIsRefusedLikeAMissingOne) {
    WriteFile("tavram.SET", "PORT=COM1\nBAUD=115200\n");
    WriteLanes("PROG", WorkedExample());
    std::filesystem::remove(Path("PROG.X2"));
    ASSERT_EQ(mkfifo(Path("PROG.X2").c_str(), 0600), 0);  // would wait for a writer
    EXPECT_EQ(RunTavram({"prog"}), 2);
    EXPECT_EQ(output, Banner() +
                          "Using Port  : COM1\nLoading File: PROG.X0\nLoading File: PROG.X1\n"
                          "\nCan't Open File PROG.X2\n");

    FakeReset();
    ResetDriverState();
    std::filesystem::remove(Path("PROG.X1"));
    std::filesystem::create_directory(Path("PROG.X1"));
    EXPECT_EQ(RunTavram({"prog"}), 2);
    EXPECT_EQ(output,
              Banner() + "Using Port  : COM1\nLoading File: PROG.X0\n\nCan't Open File PROG.X1\n");
    EXPECT_FALSE(FakePortOpen());
}

}  // namespace
