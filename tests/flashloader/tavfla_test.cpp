// Whole runs of the flash loader: settings, command line, date stamp and the download into
// the board model.
#include "flashloader/tavfla.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cstring>
#include <map>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "flash_test_support.h"
#include "flashloader/download_mode.h"
#include "flashloader/flash_protocol.h"

namespace {

const char* const kBanner = "\nVeltara C3x DSP Family Flash-Loader For WIN-NT/2000 V 3.0 ";

std::string UsageText(const char* settingsLine) {
    return std::string(
               "Extended Tektronix Hex Object Format\n\n"
               "Usage: TAVFLA <Source> [-C<n>] [-M<n>]\n\n"
               "Source  - Filename Without Extension\n"
               "         (Default Extension Is .X0...X3)\n"
               "-C<n>   - Desired COM Port (1..4, Default = 1)\n\n"
               "-M<n>   - Download Mode (s = Save, f = Fast; Default = s)\n\n"
               "Parameters -C<n> And -M<n> Are Saved On Disk\n\n"
               "Autodetect Baudrate Is 38400 Or 115200 Baud\n\n") +
           settingsLine;
}

class TavflaRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zone_.Set("UTC");
        Restart(BoardOptions());
        WriteWorkedExample("AB");
        struct timeval times[2] = {{kWorkedExampleTime, 0}, {kWorkedExampleTime, 0}};
        ASSERT_EQ(utimes("AB.X0", times), 0);
    }
    // A new process: fresh board and state, the settings file and flash folder stay.
    void Restart(const BoardOptions& options) {
        FakeReset(options);
        ResetDriverState();
    }

    std::string SettingsPath() const { return folder_.Path() + "/tavfla.SET"; }

    int Run(const std::vector<std::string>& args) {
        std::vector<std::string> words = {folder_.Path() + "/tavfla"};
        words.insert(words.end(), args.begin(), args.end());
        return FakeRunMain(TavflaMain, words, &output_);
    }

    bool Printed(const std::string& text) const { return output_.find(text) != std::string::npos; }

    TimeZoneScope zone_;
    ScratchFolder folder_;
    std::string output_;
};

TEST_F(TavflaRunTest, UsageShowsSettingsAfterEarlierOptionsAndSavesNothing) {
    const std::string settings = "PORT=COM1\nBAUD=38400\nMODE=F\n";
    WriteTextFile(SettingsPath(), settings);
    EXPECT_EQ(Run({"-c2", "-h", "-c3"}), 0);
    EXPECT_EQ(output_.find(kBanner), 0u) << output_;
    EXPECT_TRUE(EndsWith(
        output_, "\n\n" + UsageText("Current Settings: PORT = COM2, BAUD = 38400, MODE = f\n\n")))
        << output_;
    EXPECT_EQ(ReadTextFile(SettingsPath()), settings);

    Restart(BoardOptions());
    EXPECT_EQ(Run({"?"}), 0);
    EXPECT_TRUE(Printed("PORT = COM1, BAUD = 38400, MODE = f\n\n")) << output_;
    EXPECT_FALSE(Printed("Using Port"));
}

struct SettingsCase {
    const char* name;
    const char* before;  // nullptr: no settings file
    std::vector<std::string> args;
    const char* after;
    const char* portLine;
};

class TavflaSettingsTest : public TavflaRunTest,
                           public ::testing::WithParamInterface<SettingsCase> {};

// Every case ends before the port is opened; the settings are saved before that.
TEST_P(TavflaSettingsTest, SavedBeforeTheProgramNameIsChecked) {
    const SettingsCase& c = GetParam();
    if (c.before != nullptr) {
        WriteTextFile(SettingsPath(), c.before);
    }
    EXPECT_EQ(Run(c.args), 2);
    EXPECT_TRUE(Printed(c.portLine)) << output_;
    EXPECT_EQ(ReadTextFile(SettingsPath()), c.after);
    EXPECT_FALSE(FakePortOpen());
}

const SettingsCase kSettingsCases[] = {
    {"NoFile", nullptr, {"prog.x0"}, "PORT=COM1\nBAUD=115200\nMODE=s\n", "Using Port  : COM1\n"},
    {"ModeUpperCaseNotRewritten",
     "PORT=COM2\nBAUD=38400\nMODE=F\n",
     {"prog.x0"},
     "PORT=COM2\nBAUD=38400\nMODE=F\n",
     "Using Port  : COM2\n"},
    {"ModeUnknownRewritten",
     "PORT=COM2\nBAUD=38400\nMODE=x\n",
     {"prog.x0"},
     "PORT=COM2\nBAUD=38400\nMODE=s\n",
     "Using Port  : COM2\n"},
    {"OnlyPortNotRewritten", "PORT=COM3\n", {".\\prog"}, "PORT=COM3\n", "Using Port  : COM3\n"},
    {"PortAndModeOptions",
     "PORT=COM1\nBAUD=38400\nMODE=s\n",
     {"-c3", "-mf", "missing"},
     "PORT=COM3\nBAUD=38400\nMODE=f\n",
     "Using Port  : COM3\n"},
    {"PortOutOfRange",
     "PORT=COM2\nBAUD=38400\nMODE=f\n",
     {"-C9", "prog.x0"},
     "PORT=COM1\nBAUD=38400\nMODE=f\n",
     "Using Port  : COM1\n"},
    {"ModeUnknownOption",
     "PORT=COM2\nBAUD=38400\nMODE=f\n",
     {"-Mz", "prog.x0"},
     "PORT=COM2\nBAUD=38400\nMODE=s\n",
     "Using Port  : COM2\n"},
    {"ModeOptionAloneRewrites",
     "PORT=COM2\nBAUD=38400\nMODE=f\n# old\n",
     {"-M", "prog.x0"},
     "PORT=COM2\nBAUD=38400\nMODE=f\n",
     "Using Port  : COM2\n"},
};

INSTANTIATE_TEST_SUITE_P(Cases, TavflaSettingsTest, ::testing::ValuesIn(kSettingsCases),
                         [](const ::testing::TestParamInfo<SettingsCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(TavflaRunTest, NamesWithADotAreRefused) {
    for (const char* name : {"prog.x0", ".\\prog", "dir.old/prog"}) {
        Restart(BoardOptions());
        EXPECT_EQ(Run({name}), 2) << name;
        EXPECT_TRUE(EndsWith(output_, "\nFilename Extension Is Not Allowed")) << output_;
    }
}

TEST_F(TavflaRunTest, LastNameWinsAndTheStampComesBeforeTheLanes) {
    EXPECT_EQ(Run({"alpha", "beta"}), 2);
    EXPECT_TRUE(EndsWith(output_, "\nCan't Open File BETA.X0\n")) << output_;
    EXPECT_FALSE(Printed("Loading File"));
}

TEST_F(TavflaRunTest, MissingThirdLaneStopsBeforeThePort) {
    WriteTextFile("P.X0", "%0E81F800001000\n");
    WriteTextFile("P.X1", "%0E81F800001000\n");
    WriteTextFile("P.X3", "%0E81F800001000\n");
    EXPECT_EQ(Run({"p"}), 2);
    EXPECT_TRUE(
        EndsWith(output_, "Loading File: P.X0\nLoading File: P.X1\n\nCan't Open File P.X2\n"))
        << output_;
    EXPECT_FALSE(FakePortOpen());
}

TEST_F(TavflaRunTest, EntriesThatAreNoRegularFilesNeitherBlockNorGetWritten) {
    // A settings FIFO counts as missing and stays as it is; the run goes on.
    ASSERT_EQ(mkfifo(SettingsPath().c_str(), 0600), 0);
    EXPECT_EQ(Run({"ab", "-C1"}), 0) << output_;
    struct stat st;
    ASSERT_EQ(stat(SettingsPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // An .X0 FIFO fails the date stamp like a missing file, before any lane or the port.
    WriteTextFile("P.X1", "%0E81F800001000\n");
    ASSERT_EQ(mkfifo("P.X0", 0600), 0);
    Restart(BoardOptions());
    EXPECT_EQ(Run({"p"}), 2);
    EXPECT_TRUE(EndsWith(output_, "\nCan't Open File P.X0\n")) << output_;
    EXPECT_FALSE(FakePortOpen());
}

class TavflaDownloadTest : public TavflaRunTest, public ::testing::WithParamInterface<char> {};

TEST_P(TavflaDownloadTest, StoresAndStartsTheWorkedExample) {
    std::string settings = std::string("PORT=COM1\nBAUD=115200\nMODE=") + GetParam() + "\n";
    WriteTextFile(SettingsPath(), settings);
    EXPECT_EQ(Run({"ab"}), 0) << output_;
    EXPECT_EQ(output_.find(kBanner), 0u);
    size_t lanes = output_.find(
        "Loading File: AB.X0\nLoading File: AB.X1\n"
        "Loading File: AB.X2\nLoading File: AB.X3\n");
    size_t connected = output_.find("\nConnected To Target\n");
    size_t loaded = output_.find(
        "\rWriting Target Address: 001000(HEX)\n19   13(HEX) Bytes Loaded\n"
        "\nAB Started At Address 001000(HEX)\n\nDownload Time = ");
    EXPECT_NE(lanes, std::string::npos) << output_;
    EXPECT_LT(lanes, connected);
    EXPECT_LT(connected, loaded);
    EXPECT_NE(loaded, std::string::npos) << output_;
    EXPECT_EQ(ReadTextFile(SettingsPath()), settings);

    std::vector<StoredProgram> programs = BoardFlashPrograms(FakeBoard());
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].name, "AB");
    const uint8_t stamp[7] = {5, 3, 1, 14, 7, 9, 1};
    EXPECT_EQ(0, memcmp(programs[0].stamp, stamp, sizeof stamp));
    std::map<uint32_t, uint32_t> words = {{0x1000, 0x12345678}, {0x1001, 0x9ABCDEF0}};
    EXPECT_EQ(programs[0].words, words);
    EXPECT_EQ(programs[0].entryAddress, 0x1000u);
    std::string started;
    EXPECT_TRUE(BoardFlashStarted(FakeBoard(), &started));
    EXPECT_EQ(started, "AB");
    EXPECT_EQ(FakeWrittenBytes().back(), 0x0C);
}

INSTANTIATE_TEST_SUITE_P(BothModes, TavflaDownloadTest, ::testing::Values('s', 'f'),
                         [](const ::testing::TestParamInfo<char>& info) {
                             return std::string(info.param == 's' ? "Save" : "Fast");
                         });

TEST_F(TavflaRunTest, StoringTheSameNameAgainMeetsTheStoredOne) {
    mkdir("flash", 0700);
    BoardOptions options;
    options.flashFolder = folder_.Path() + "/flash";
    Restart(options);
    ASSERT_EQ(Run({"ab"}), 0) << output_;

    Restart(options);
    EXPECT_EQ(Run({"ab"}), 2);
    EXPECT_TRUE(EndsWith(output_, "Filename AB Already Exists On Target\n")) << output_;
    const std::vector<uint8_t>& wire = FakeWrittenBytes();
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(wire[wire.size() - 2], 0x04);
    EXPECT_EQ(wire.back(), 0x0C);
    EXPECT_EQ(BoardFlashPrograms(FakeBoard()).size(), 1u);
}

// Save mode through a network port says on standard error what its round trips cost this
// program (the download here takes what it says); Fast mode says nothing.
TEST_F(TavflaRunTest, SaveModeOverANetworkPortTellsItsCost) {
    for (const char* mode : {"-Ms", "-Mf"}) {
        Restart(BoardOptions());
        FakeSetNetwork(1000);
        testing::internal::CaptureStderr();
        EXPECT_EQ(Run({"ab", mode}), 0) << output_;
        const std::string note = testing::internal::GetCapturedStderr();
        if (mode[2] == 'f') {
            EXPECT_EQ(note, "");
            continue;
        }
        EXPECT_EQ(note,
                  "Note: COM1 is a network port with a round trip of 1000 ms. Save mode waits that "
                  "long for the echo of every byte: this program takes about 32 seconds. Fast "
                  "mode (-Mf) avoids the wait.\n");
        EXPECT_TRUE(Printed("\nDownload Time = 32.0 Seconds\n")) << output_;
    }
}

TEST_F(TavflaRunTest, BoardFillersAndEndStatus) {
    BoardOptions options;
    options.flashFillers = 5;
    Restart(options);
    EXPECT_EQ(Run({"ab"}), 0) << output_;

    options.flashFillers = 0;
    options.flashEndStatus = 3;
    Restart(options);
    EXPECT_EQ(Run({"ab"}), 2);
    EXPECT_TRUE(Printed("\n19   13(HEX) Bytes Loaded\nMore Than 63 Programs Present In Flash\n"))
        << output_;
    EXPECT_EQ(FakeWrittenBytes().back(), 0x0C);
}

}  // namespace
