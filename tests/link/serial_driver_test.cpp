// Serial port driver: opening, failures and their exit paths, time-outs, ExitLoader.
#include <gtest/gtest.h>

#include "fake/fake_platform.h"
#include "link/link.h"
#include "platform/serial_port.h"

namespace {

class SerialDriverTest : public ::testing::Test {
  protected:
    void SetUp() override { FakeReset(); }

    int Run(const std::function<void()>& body) { return FakeRunCapturing(body, &output); }

    std::string output;
};

TEST_F(SerialDriverTest, PortNumbersOutsideOneToFourOpenCom1) {
    for (int32_t port : {0, 5, -1}) {
        FakeReset();
        OpenComPort(port, 115200);
        EXPECT_EQ(FakeOpenedDevice(), "COM1") << port;
    }
    for (int32_t port : {1, 2, 3, 4}) {
        FakeReset();
        OpenComPort(port, 38400);
        EXPECT_EQ(FakeOpenedDevice(), "COM" + std::to_string(port));
        EXPECT_EQ(FakePortBaud(), 38400);
    }
}

TEST_F(SerialDriverTest, OpenConfiguresLinesLowAndNoFlowControl) {
    OpenComPort(1, 115200);
    SerialSettings port;  // as the port holds them
    ASSERT_TRUE(SerialGetSettings(nullptr, &port));
    EXPECT_EQ(port.BaudRate, 115200);
    EXPECT_EQ(port.ByteSize, 8);
    EXPECT_EQ(port.Parity, 0);
    EXPECT_EQ(port.StopBits, 0);
    EXPECT_FALSE(port.fOutxCtsFlow);
    EXPECT_EQ(port.fDtrControl, kDtrControlDisable);
    EXPECT_EQ(port.fRtsControl, kRtsControlDisable);
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(SerialDriverTest, EachOpenStepFailureHasItsMessageAndExitsDirectly) {
    const std::pair<const char*, const char*> cases[] = {
        {"open", "\nOpen Of COM2 Failed: 32\n"},
        {"setupqueues", "\nSetupComm() Failed: 32\n"},
        {"purge", "\nPurgeComm() Failed: 32\n"},
        {"settimeouts", "\nSetCommTimeouts() Failed: 32\n"},
        {"getsettings", "\nGetCommState() Failed: 32\n"},
        {"setsettings", "\nSetCommState() Failed: 32\n"},
    };
    for (const auto& [call, message] : cases) {
        FakeReset();
        FakeFailCall(call, 32);
        EXPECT_EQ(Run([] { OpenComPort(2, 115200); }), 2) << call;
        EXPECT_EQ(output, message);
        EXPECT_FALSE(FakeRtsOn());
    }
}

// A network serial server that would not serve: what it did and said, then the open's message.
TEST_F(SerialDriverTest, RefusingServerIsReportedBeforeTheOpenMessage) {
    const std::pair<SerialOpenRefusal, const char*> cases[] = {
        {{SerialRefusal::Refused, "h:1", "", 3},
         "\nh:1 refused serial port control: not an RFC 2217 server\n"},
        {{SerialRefusal::HungUp, "/s", "busy", 3},
         "\n/s closed the connection before agreeing to serial port control: its port is busy, "
         "or it is not an RFC 2217 server\nThe server said: \"busy\"\n"},
        {{SerialRefusal::NoAnswer, "h:1", "Port in use", 3},
         "\nh:1 did not agree to serial port control within 3 seconds: not an RFC 2217 server, "
         "or its port is busy\nThe server said: \"Port in use\"\n"},
    };
    for (const auto& [refusal, report] : cases) {
        FakeReset();
        FakeFailCall("open", 71);
        FakeSetRefusal(refusal);
        EXPECT_EQ(Run([] { OpenComPort(1, 115200); }), 2);
        EXPECT_EQ(output, std::string(report) + "\nOpen Of COM1 Failed: 71\n");
    }
}

TEST_F(SerialDriverTest, ReceiveWaitTimeoutEndsTheRunInsteadOfReturningAByte) {
    FakeSetResponder([](uint8_t, std::vector<uint8_t>&) {});
    OpenComPort(1, 115200);
    EnableAuto_RTS_CTS(1);
    const uint64_t before = FakeNowUs();
    EXPECT_EQ(Run([] { ReceiveWait(); }), 2);
    EXPECT_EQ(output, "\nReceiveWait(): Timeout, No Answer From Target\n");
    EXPECT_EQ(FakeNowUs() - before, 2000000u);
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(SerialDriverTest, FillersAreSkippedForSixtySecondsAtMost) {
    // One filler a second: 59 of them and then the answer pass, a longer run is no answer.
    for (size_t fillers : {59, 1000}) {
        FakeReset();
        FakeSetReplyGapUs(1000000);
        FakeSetResponder([fillers](uint8_t, std::vector<uint8_t>& reply) {
            reply.assign(fillers, 0x7F);
            reply.push_back(0x00);
        });
        OpenComPort(1, 115200);
        EnableAuto_RTS_CTS(1);
        Transmit(0x00);
        uint8_t answer = 0xEE;
        const int code = Run([&] { answer = ReceiveWaitPastFillers(0x7F); });
        if (fillers == 59) {
            EXPECT_EQ(code, -1) << output;
            EXPECT_EQ(answer, 0x00);
        } else {
            EXPECT_EQ(code, 2);
            EXPECT_EQ(output, "\nReceiveWait(): Timeout, No Answer From Target\n");
            EXPECT_EQ(FakeNowUs(), uint64_t{kFillerLimitMs} * 1000);
            EXPECT_FALSE(FakeCtsFlowOn());
            EXPECT_FALSE(FakeRtsOn());
        }
    }
}

TEST_F(SerialDriverTest, ReceiveBlockTimeoutEndsTheRunAfterTheBytesThatCame) {
    FakeSetResponder([](uint8_t written, std::vector<uint8_t>& reply) {
        if (written == 0x11) {
            reply = {0xA1, 0xA2};
        }
    });
    OpenComPort(1, 115200);
    Transmit(0x11);
    uint8_t buffer[4] = {0, 0, 0, 0};
    EXPECT_EQ(Run([&] { ReceiveBlock(buffer, 4); }), 2);
    EXPECT_EQ(output, "\nReceiveBlock(): Timeout, No Answer From Target\n");
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[1], 0xA2);
    EXPECT_EQ(buffer[2], 0);
}

TEST_F(SerialDriverTest, BlocksOfZeroOrLessMoveNothing) {
    FakeSetResponder([](uint8_t, std::vector<uint8_t>&) {});
    OpenComPort(1, 115200);
    const uint8_t bytes[1] = {0x55};
    uint8_t buffer[1] = {0};
    TransmitBlock(bytes, 0);
    TransmitBlock(bytes, -3);
    ReceiveBlock(buffer, 0);
    ReceiveBlock(buffer, -1);
    EXPECT_TRUE(FakeWrittenBytes().empty());
    EXPECT_EQ(FakeNowUs(), 0u);
}

TEST_F(SerialDriverTest, TransferFailuresReportTheCodeAndDropTheLines) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"\nTransmit(): Communiction Error: 5\n", [] { Transmit(1); }},
        {"\nTransmitBlock(): Communiction Error: 5\n",
         [] {
             const uint8_t bytes[2] = {1, 2};
             TransmitBlock(bytes, 2);
         }},
        {"\nReceiveWait(): Communiction Error: 5\n", [] { ReceiveWait(); }},
        {"\nReceiveBlock(): Communiction Error: 5\n",
         [] {
             uint8_t buffer[2];
             ReceiveBlock(buffer, 2);
         }},
    };
    for (const auto& [message, body] : cases) {
        FakeReset();
        FakeSetResponder([](uint8_t, std::vector<uint8_t>&) {});
        OpenComPort(1, 115200);
        EnableAuto_RTS_CTS(1);
        FakeFailCall("write", 5);
        FakeFailCall("read", 5);
        EXPECT_EQ(Run(body), 2);
        EXPECT_EQ(output, message);
        EXPECT_FALSE(FakeCtsFlowOn());
        EXPECT_FALSE(FakeRtsOn());
    }
}

TEST_F(SerialDriverTest, LineControlFailures) {
    OpenComPort(1, 115200);
    FakeFailCall("setrts", 6);
    EXPECT_EQ(Run([] { SetRtsSignal(1); }), 2);
    EXPECT_EQ(output, "\nSetRtsSignal() Failed: 6 \n");

    FakeFailCall("setsettings", 7);
    EXPECT_EQ(Run([] { EnableAuto_RTS_CTS(1); }), 2);
    EXPECT_EQ(output, "\nEnableAuto_RTS_CTS() Failed: 7\n");

    FakeFailCall("getcts", 8);
    EXPECT_EQ(Run([] { CTSSignalSet(); }), 2);
    EXPECT_EQ(output, "\nCTSSignalSet() Failed: 8\n");

    // A failure inside ExitLoader ends the process at once with that call's message (in a run
    // whose line calls went well so far).
    FakeReset();
    OpenComPort(1, 115200);
    FakeFailCall("setrts", 9);
    EXPECT_EQ(Run([] { ExitLoader(0); }), 2);
    EXPECT_EQ(output, "\nSetRtsSignal() Failed: 9 \n");
}

TEST_F(SerialDriverTest, SetBaudrateFailuresGoThroughExitLoader) {
    const std::pair<const char*, const char*> cases[] = {
        {"getsettings", "\nGetCommState() Failed: 4\n"},
        {"setsettings", "\nSetCommState() Failed: 4\n"},
        {"purge", "\nPurgeComm() Failed: 4\n"},
    };
    for (const auto& [call, message] : cases) {
        FakeReset();
        OpenComPort(1, 115200);
        EnableAuto_RTS_CTS(1);
        FakeFailCall(call, 4);
        EXPECT_EQ(Run([] { SetBaudrate(38400); }), 2) << call;
        EXPECT_EQ(output, message);
        EXPECT_FALSE(FakeCtsFlowOn());
    }
}

TEST_F(SerialDriverTest, SetBaudrateDiscardsInputReceivedBefore) {
    FakeSetResponder([](uint8_t, std::vector<uint8_t>& reply) { reply = {0x42}; });
    OpenComPort(1, 115200);
    Transmit(0x01);
    EXPECT_EQ(ReceiveReady(), 1);
    SetBaudrate(38400);
    EXPECT_EQ(ReceiveReady(), 0);
    EXPECT_EQ(FakePortBaud(), 38400);
}

TEST_F(SerialDriverTest, ExitLoaderLeavesRtsLowAndFlowControlOff) {
    OpenComPort(1, 115200);
    EnableAuto_RTS_CTS(1);
    EXPECT_TRUE(FakeRtsOn());
    EXPECT_TRUE(FakeCtsFlowOn());
    EXPECT_EQ(Run([] { ExitLoader(0); }), 0);
    EXPECT_FALSE(FakeRtsOn());
    EXPECT_FALSE(FakeCtsFlowOn());
}

TEST_F(SerialDriverTest, WriteHeldBackByCtsIsDroppedAfterItsTimeout) {
    BoardOptions options;
    options.ctsNeverRises = true;
    FakeReset(options);
    OpenComPort(1, 115200);
    SetRtsSignal(1);  // the board resets and keeps CTS off
    SetRtsSignal(0);
    EnableAuto_RTS_CTS(1);
    const uint64_t before = FakeNowUs();
    Transmit(0x33);
    EXPECT_TRUE(FakeWrittenBytes().empty());
    EXPECT_GE(FakeNowUs() - before, 100000u);
}

}  // namespace
