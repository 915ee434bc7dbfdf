// The flash protocol byte for byte against a scripted target.
#include "flashloader/flash_protocol.h"

#include <gtest/gtest.h>

#include <functional>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "flash_test_support.h"
#include "flashloader/download_mode.h"
#include "hexreader/hexreader.h"
#include "link/link.h"

namespace {

// Step indices of the worked example's exchange.
constexpr size_t kStartFirst = 0;  // 00 'A' 'B' 00 and the seven values
constexpr size_t kStartLast = 10;
constexpr size_t kDataFirst = 11;  // the 15-byte load-data packet
constexpr size_t kDataLast = 25;
constexpr size_t kAddressFirst = 26;  // 01 00 10 00
constexpr size_t kAddressLast = 29;
constexpr size_t kEndCommand = 30;
constexpr size_t kStartProgram = 31;

const Bytes kStartPacket = {0x00, 'A', 'B', 0x00, 5, 3, 1, 0x0E, 7, 9, 1};
const Bytes kDataPacket = {0x02, 0x00, 0x0F, 0x01, 0x00, 0x10, 0x00, 0x12,
                           0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
const Bytes kAddressPacket = {0x01, 0x00, 0x10, 0x00};

const char* const kWorkedExampleOutput =
    "\rWriting Target Address: 001000(HEX)\n19   13(HEX) Bytes Loaded\n";

Script WorkedExampleScript() {
    Script script;
    AppendEchoed(&script, kStartPacket, {0xAB, 0x01});
    AppendEchoed(&script, kDataPacket, {0x5A, 0x01});
    AppendEchoed(&script, kAddressPacket, {0x11, 0x01});
    AppendEchoed(&script, {0x03}, {0x03, 0x04});
    AppendEchoed(&script, {0x04}, {0x04, 0x01});
    script.push_back({0x0C, {}});
    return script;
}

void AppendCleanup(Script* script) {
    AppendEchoed(script, {0x04}, {0x04, 0x01});
    script->push_back({0x0C, {}});
}

// The target answers step `index` with `reply`; the host is then expected to give up and
// run the start-program exchange.
Script FailingScript(size_t index, const Bytes& reply, bool withCleanup = true) {
    Script script = WorkedExampleScript();
    script.resize(index + 1);
    script[index].reply = reply;
    if (withCleanup) {
        AppendCleanup(&script);
    }
    return script;
}

class FlashProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeReset();
        ResetDriverState();
        DownloadMode = 's';
        WriteWorkedExample("AB");
        ASSERT_NO_THROW(OpenComPort(1, kBaudHigh));
    }
    void TearDown() override { CloseLanes(); }

    void OpenLanes(const std::string& base) {
        CloseLanes();
        for (int k = 0; k < 4; ++k) {
            lanes_[k] = fopen((base + ".X" + std::to_string(k)).c_str(), "rb");
            ASSERT_NE(lanes_[k], nullptr);
        }
    }
    void CloseLanes() {
        for (FILE*& lane : lanes_) {
            if (lane != nullptr) {
                fclose(lane);
                lane = nullptr;
            }
        }
    }

    // Runs `body` against the script; returns the exit code (-1 when it returned).
    int Run(const Script& script, const std::function<void()>& body) {
        InstallScript(script);
        FakeClearWrittenBytes();
        return FakeRunCapturing(body, &output_);
    }

    int RunWorkedExample(const Script& script) {
        OpenLanes("AB");
        return Run(script, [this] {
            StartDownload("AB", DateStamp{5, 3, 1, 14, 7, 9});
            entryAddress_ = LoadAllRecords(lanes_, SendFlashRecord);
            EndDownload();
            StartTargetProgram();
        });
    }

    ScratchFolder folder_;
    FILE* lanes_[kLaneCount] = {};
    std::string output_;
    uint32_t entryAddress_ = 0;
};

// Save mode reads each echo before it sends the next byte; Fast mode sends the whole data
// packet before it reads the first of its echoes. Every other packet goes byte by byte.
TEST_F(FlashProtocolTest, WorkedExampleInBothModes) {
    for (char mode : {'s', 'f'}) {
        FakeReset();
        ResetDriverState();
        DownloadMode = mode;
        ASSERT_NO_THROW(OpenComPort(1, kBaudHigh));
        Script script = WorkedExampleScript();
        EXPECT_EQ(RunWorkedExample(script), -1) << output_;
        EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
        std::string order, held;  // held: the reads a packet sent whole puts behind it
        for (size_t i = 0; i < script.size(); ++i) {
            const bool whole = mode == 'f' && i >= kDataFirst && i <= kDataLast;
            order += '>';
            (whole ? held : order) += std::string(script[i].reply.size(), '<');
            if (i == kDataLast) {
                order += held;
            }
        }
        EXPECT_EQ(FakeLineEvents(), order) << mode;
        EXPECT_EQ(output_, kWorkedExampleOutput);
        EXPECT_EQ(BytesLoaded, 15u);
        EXPECT_EQ(entryAddress_, 0x1000u);
    }
}

TEST_F(FlashProtocolTest, FillersBeforeFirstEchoAndEndStatusAreSkipped) {
    Script script = WorkedExampleScript();
    script[kStartFirst].reply = {0x7F, 0x7F, 0x7F, 0x00};
    script[kEndCommand].reply = {0x03, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x04};
    EXPECT_EQ(RunWorkedExample(script), -1) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

TEST_F(FlashProtocolTest, EndlessFillersAreNoAnswerAndGetNoCleanup) {
    // Five minutes of fillers, one a second: the host gives up after one minute of them.
    const std::pair<size_t, Bytes> cases[] = {{kStartFirst, {}}, {kEndCommand, {0x03, 0x03}}};
    for (const auto& [step, head] : cases) {
        FakeReset();
        ASSERT_NO_THROW(OpenComPort(1, kBaudHigh));
        FakeSetReplyGapUs(1000000);
        Bytes reply = head;
        reply.insert(reply.end(), 300, step == kStartFirst ? 0x7F : 0xFF);
        Script script = FailingScript(step, reply, false);
        EXPECT_EQ(RunWorkedExample(script), 2);
        EXPECT_TRUE(EndsWith(output_, "\nReceiveWait(): Timeout, No Answer From Target\n"))
            << output_;
        EXPECT_LT(FakeNowUs(), 100000000u);
        EXPECT_EQ(FakeWrittenBytes(), HostBytes(script)) << "nothing after the command";
        EXPECT_FALSE(FakeRtsOn());
    }
}

struct FailureCase {
    const char* name;
    size_t index;
    Bytes reply;
    const char* message;
};

class FlashFailureTest : public FlashProtocolTest,
                         public ::testing::WithParamInterface<FailureCase> {};

// Each failure prints its message, then the target gets 04 (answered 04 04 01) and 0C.
TEST_P(FlashFailureTest, MessageThenCleanupThenCodeTwo) {
    const FailureCase& failure = GetParam();
    Script script = FailingScript(failure.index, failure.reply);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(EndsWith(output_, failure.message)) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

const FailureCase kFailures[] = {
    {"StartEchoAfterFillers",
     kStartFirst,
     {0x7F, 0x7F, 0x55},
     "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x00 RECEIVED DATA:0x55\n\n"},
    {"StartNameEcho",
     kStartFirst + 2,
     {0xA5},
     "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x42 RECEIVED DATA:0xa5\n\n"},
    {"StartStampEcho",
     kStartLast,
     {0x02},
     "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x01 RECEIVED DATA:0x02\n\n"},
    {"StartChecksum", kStartLast, {0x01, 0xAC}, "\nTARGET COMMUNICATION CHECKSUM ERROR"},
    {"StartNameExists", kStartLast, {0x01, 0xAB, 0x00}, "Filename AB Already Exists On Target\n"},
    {"StartUnknownResult",
     kStartLast,
     {0x01, 0xAB, 0x07},
     "\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"},
    {"DataEcho",
     kDataFirst + 2,
     {0x0E},
     "\n\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x0f RECEIVED DATA:0x0e\n\n"},
    {"DataChecksum", kDataLast, {0xF0, 0x5B}, "\nTARGET COMMUNICATION CHECKSUM ERROR\n"},
    {"DataFlashFull", kDataLast, {0xF0, 0x5A, 0x00}, "\nTarget Flash Memory Full\n"},
    {"DataUnknownResult",
     kDataLast,
     {0xF0, 0x5A, 0x02},
     "\n\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"},
    {"AddressEcho",
     kAddressFirst + 1,
     {0x01},
     "\n\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x00 RECEIVED DATA:0x01\n\n"},
    {"AddressChecksum", kAddressLast, {0x00, 0x12}, "\n\nTARGET COMMUNICATION CHECKSUM ERROR\n\n"},
    {"AddressRefused",
     kAddressLast,
     {0x00, 0x11, 0x00},
     "\n\nERROR: PROGRAM START ADDRESS WAS NOT CORRECTLY\n\n"},
    {"AddressUnknownResult",
     kAddressLast,
     {0x00, 0x11, 0x05},
     "\n\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"},
    {"EndEcho",
     kEndCommand,
     {0x30},
     "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x03 RECEIVED DATA:0x30\n\n"},
    {"EndChecksum", kEndCommand, {0x03, 0x04}, "\nTARGET COMMUNICATION CHECKSUM ERROR\n\n"},
    {"EndStatus0",
     kEndCommand,
     {0x03, 0x03, 0x00},
     "\nERROR: PREVIOUS START DOWNLOAD PROTOCOL WAS NOT CORRECTLY\n\n"},
    {"EndStatus1",
     kEndCommand,
     {0x03, 0x03, 0xFF, 0x01},
     "\nERROR: PREVIOUS LOAD START ADDRESS PROTOCOL WAS NOT CORRECTLY\n\n"},
    {"EndStatus2",
     kEndCommand,
     {0x03, 0x03, 0x02},
     "\nERROR: LOAD DATA PROTOCOL WAS NOT CORRECTLY\n\n"},
    {"EndStatus3",
     kEndCommand,
     {0x03, 0x03, 0xFF, 0xFF, 0x03},
     "More Than 63 Programs Present In Flash\n"},
    {"EndUnknownStatus",
     kEndCommand,
     {0x03, 0x03, 0xFF, 0x42},
     "\nERROR: UNKNOWN RESULT CODE 0x42 RECEIVED\n\n"},
};

INSTANTIATE_TEST_SUITE_P(EveryStep, FlashFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

// The start-program exchange ends the process itself: no second 04, no 0C.
class StartProgramFailureTest : public FlashProtocolTest,
                                public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartProgramFailureTest, EndsAtOnceWithoutSecondCleanup) {
    const FailureCase& failure = GetParam();
    Script script = FailingScript(failure.index, failure.reply, false);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_EQ(output_, std::string(kWorkedExampleOutput) + failure.message);
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

const FailureCase kStartProgramFailures[] = {
    {"Echo",
     kStartProgram,
     {0x40},
     "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x04 RECEIVED DATA:0x40\n"},
    {"Checksum",
     kStartProgram,
     {0x04, 0xA5},
     "\nCHECKSUM ERROR: Checksum: 04   ReceivedChecksum: a5 \n"},
    {"NotStarted", kStartProgram, {0x04, 0x04, 0x00}, "\nERROR: TARGET PROGRAM NOT STARTED\n"},
    {"UnknownResult", kStartProgram, {0x04, 0x04, 0x03}, "\nERROR: UNKNOWN RESULT CODE RECEIVED\n"},
};

INSTANTIATE_TEST_SUITE_P(EveryCheck, StartProgramFailureTest,
                         ::testing::ValuesIn(kStartProgramFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FlashProtocolTest, CleanupThatFailsItselfEndsAfterOneStartCommand) {
    Script script = FailingScript(kDataLast, {0xF0, 0x5A, 0x00}, false);
    AppendEchoed(&script, {0x04}, {0x04, 0x00});
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(
        EndsWith(output_, "\nTarget Flash Memory Full\n\nERROR: TARGET PROGRAM NOT STARTED\n"))
        << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

TEST_F(FlashProtocolTest, FastModeReportsFirstMismatchOnlyWithAdvice) {
    DownloadMode = 'f';
    Script script = WorkedExampleScript();
    script[kDataFirst + 8].reply = {0x35};
    script[kDataFirst + 12].reply = {0x00};
    script.resize(kDataLast + 1);
    script[kDataLast].reply = {0xF0};
    AppendCleanup(&script);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_EQ(output_,
              "\rWriting Target Address: 001000(HEX)"
              "\n\nERROR AT RECEIVED ECHO: \nTRANSMITTED DATA:0x34 RECEIVED DATA:0x35\n\n"
              "Please Try Again With Security Option: \"TAVFLA <NAME> -Ms\"\n\n");
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

// A link failure ends the process inside the link: no clean-up exchange follows.
TEST_F(FlashProtocolTest, FastModeEchoesStoppingPartWayIsABlockTimeout) {
    DownloadMode = 'f';
    Script script = WorkedExampleScript();
    script.resize(kDataLast + 1);
    for (size_t i = kDataFirst + 7; i <= kDataLast; ++i) {
        script[i].reply.clear();
    }
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(EndsWith(output_, "\nReceiveBlock(): Timeout, No Answer From Target\n")) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

TEST_F(FlashProtocolTest, MissingChecksumIsATimeoutNotAByte) {
    Script script = FailingScript(kDataLast, {0xF0}, false);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(EndsWith(output_, "\nReceiveWait(): Timeout, No Answer From Target\n")) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

TEST_F(FlashProtocolTest, LaneFormatErrorMidDownloadRunsCleanup) {
    const std::string end = "%0E81F800001000\n";
    WriteLanes("AB", {"%1263080000100078F0\n" + end, "%1263880000100056DE\n\t" + end,
                      "%1263080000100034BC\n" + end, "%12628800001000129A\n" + end});
    Script script = WorkedExampleScript();
    script.resize(kDataLast + 1);
    AppendCleanup(&script);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(EndsWith(output_, "ERROR: First Character In .X1 Line Must Always Be %\n"))
        << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
}

TEST_F(FlashProtocolTest, LanesEndingWithoutTerminationRecordRunCleanup) {
    // Formerly the end of the records; now only the termination record ends them.
    WriteLanes("AB", {"%1263080000100078F0\n", "%1263880000100056DE\n", "%1263080000100034BC\n",
                      "%12628800001000129A\n"});
    Script script = WorkedExampleScript();
    script.resize(kDataLast + 1);
    AppendCleanup(&script);
    EXPECT_EQ(RunWorkedExample(script), 2);
    EXPECT_TRUE(EndsWith(output_, "(HEX)ERROR: Unexpected End Of .X0 File\n")) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

// The records alone against a target that echoes each byte and closes each packet with
// its checksum and result 1.
struct LoadCase {
    const char* name;
    LaneTexts lanes;
    std::vector<Bytes> packets;
    const char* output;
};

class LoadToFlashTest : public FlashProtocolTest, public ::testing::WithParamInterface<LoadCase> {};

TEST_P(LoadToFlashTest, PacketsAndTotal) {
    const LoadCase& c = GetParam();
    WriteLanes("P", c.lanes);
    OpenLanes("P");
    Script script;
    for (const Bytes& packet : c.packets) {
        uint8_t sum = 0;
        for (uint8_t byte : packet) {
            sum = static_cast<uint8_t>(sum + byte);
        }
        AppendEchoed(&script, packet, {sum, 0x01});
    }
    EXPECT_EQ(Run(script, [this] { LoadAllRecords(lanes_, SendFlashRecord); }), -1) << output_;
    EXPECT_EQ(FakeWrittenBytes(), HostBytes(script));
    EXPECT_EQ(output_, c.output);
}

const std::string kEnd = "%0E81F800001000\n";
const LoadCase kLoadCases[] = {
    {"OnlyTermination", {kEnd, kEnd, kEnd, kEnd}, {kAddressPacket}, "\n4   4(HEX) Bytes Loaded\n"},
    {"EmptyDataRecord",
     {"%0E60F800002000\n" + kEnd, "%0E60F800002000\n" + kEnd, "%0E60F800002000\n" + kEnd,
      "%0E60F800002000\n" + kEnd},
     {{0x02, 0x00, 0x07, 0x01, 0x00, 0x20, 0x00}, kAddressPacket},
     "\rWriting Target Address: 002000(HEX)\n11   B(HEX) Bytes Loaded\n"},
    // The top of the 24-bit addresses (the highest the reader takes) goes on the wire whole.
    {"HighAddresses",
     {"%0E60F800FFFFFF\n%0E81F800FFFFFF\n", "%0E60F800FFFFFF\n%0E81F800FFFFFF\n",
      "%0E60F800FFFFFF\n%0E81F800FFFFFF\n", "%0E60F800FFFFFF\n%0E81F800FFFFFF\n"},
     {{0x02, 0x00, 0x07, 0x01, 0xFF, 0xFF, 0xFF}, {0x01, 0xFF, 0xFF, 0xFF}},
     "\rWriting Target Address: FFFFFF(HEX)\n11   B(HEX) Bytes Loaded\n"},
    // The packet length follows the record's own words, also with a 6-digit address.
    {"SixDigitAddress",
     {"%10630600100078F0\n" + kEnd, "%10638600100056DE\n" + kEnd, "%10630600100034BC\n" + kEnd,
      "%106286001000129A\n" + kEnd},
     {kDataPacket, kAddressPacket},
     kWorkedExampleOutput},
};

INSTANTIATE_TEST_SUITE_P(Records, LoadToFlashTest, ::testing::ValuesIn(kLoadCases),
                         [](const ::testing::TestParamInfo<LoadCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
