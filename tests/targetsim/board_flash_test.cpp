// Board model: the flash firmware and its program folder.
#include <gtest/gtest.h>

#include "board_host.h"
#include "support/files.h"

namespace {

const Bytes kStartDownloadAB = {0x00, 0x41, 0x42, 0x00, 0x05, 0x03, 0x01, 0x0E, 0x07, 0x09, 0x01};
const Bytes kLoadData = {0x02, 0x00, 0x0F, 0x01, 0x00, 0x10, 0x00, 0x12,
                         0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
const Bytes kLoadStartAddress = {0x01, 0x00, 0x10, 0x00};

Bytes Plus(Bytes bytes, const Bytes& tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

Bytes StartDownload(const std::string& name) {
    Bytes packet = {0x00};
    packet.insert(packet.end(), name.begin(), name.end());
    return Plus(packet, {0x00, 0x05, 0x03, 0x01, 0x0E, 0x07, 0x09, 0x01});
}

uint8_t Sum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint8_t>(sum);
}

// Echoes, checksum, result.
Bytes Answer(const Bytes& packet, uint8_t result) {
    return Plus(packet, {Sum(packet), result});
}

// A whole download of a one-word program; returns the end-download status.
uint8_t Store(TestHost& host, const std::string& name) {
    const Bytes start = StartDownload(name);
    EXPECT_EQ(host.Exchange(start), Answer(start, 1)) << name;
    const Bytes data = {0x02, 0x00, 0x0B, 0x01, 0x00, 0x00, 0x20, 1, 2, 3, 4};
    EXPECT_EQ(host.Exchange(data), Answer(data, 1));
    EXPECT_EQ(host.Exchange(kLoadStartAddress), Answer(kLoadStartAddress, 1));
    const Bytes end = host.Exchange({0x03});
    EXPECT_EQ(end.size(), 3u);
    return end.empty() ? 0xEE : end.back();
}

TEST(BoardFlash, WorkedExample) {
    TestHost host;
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange(kStartDownloadAB), Plus(kStartDownloadAB, {0xAB, 0x01}));
    // Echo by echo, the checksum only after the last byte.
    for (size_t i = 0; i + 1 < kLoadData.size(); ++i) {
        EXPECT_EQ(host.Exchange({kLoadData[i]}), Bytes{kLoadData[i]});
    }
    EXPECT_EQ(host.Exchange({kLoadData.back()}), (Bytes{0xF0, 0x5A, 0x01}));
    EXPECT_EQ(host.Exchange(kLoadStartAddress), Plus(kLoadStartAddress, {0x11, 0x01}));
    EXPECT_EQ(host.Exchange({0x03}), (Bytes{0x03, 0x03, 0x04}));
    EXPECT_EQ(host.Exchange({0x04}), (Bytes{0x04, 0x04, 0x01}));
    EXPECT_EQ(host.Exchange({0x0C}), Bytes{});

    const std::vector<StoredProgram> programs = BoardFlashPrograms(host.board);
    ASSERT_EQ(programs.size(), 1u);
    EXPECT_EQ(programs[0].name, "AB");
    EXPECT_EQ(Bytes(programs[0].stamp, programs[0].stamp + 7),
              (Bytes{0x05, 0x03, 0x01, 0x0E, 0x07, 0x09, 0x01}));
    EXPECT_EQ(programs[0].entryAddress, 0x1000u);
    const std::map<uint32_t, uint32_t> words = {{0x1000, 0x12345678}, {0x1001, 0x9ABCDEF0}};
    EXPECT_EQ(programs[0].words, words);
    std::string started;
    ASSERT_TRUE(BoardFlashStarted(host.board, &started));
    EXPECT_EQ(started, "AB");
    // The program runs: nothing more is echoed.
    EXPECT_EQ(host.Exchange({0x04}), Bytes{});
}

TEST(BoardFlash, StoredNameIsRefusedAndKeptAcrossRunsInTheFolder) {
    TempFolder folder("boardflash");
    BoardOptions options;
    options.flashFolder = folder.Path();
    {
        TestHost first(options);
        first.Connect(0x7F);
        EXPECT_EQ(Store(first, "AB"), 4);
        EXPECT_EQ(Store(first, "WORK\\PROG/X"), 4);
        first.Connect(0x7F);
        EXPECT_EQ(first.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 0));
    }
    TestHost second(options);
    const std::vector<StoredProgram> programs = BoardFlashPrograms(second.board);
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0].name, "AB");
    EXPECT_EQ(programs[1].name, "WORK\\PROG/X");
    EXPECT_EQ(programs[1].entryAddress, 0x1000u);
    EXPECT_EQ(programs[1].words, (std::map<uint32_t, uint32_t>{{0x20, 0x01020304}}));
    EXPECT_EQ(programs[1].stamp[3], 0x0E);
    second.Connect(0x7F);
    const Bytes again = StartDownload("WORK\\PROG/X");
    EXPECT_EQ(second.Exchange(again), Answer(again, 0));
    // The host's clean-up starts the program of that name.
    EXPECT_EQ(second.Exchange({0x04}), (Bytes{0x04, 0x04, 0x01}));
    std::string started;
    ASSERT_TRUE(BoardFlashStarted(second.board, &started));
    EXPECT_EQ(started, "WORK\\PROG/X");
}

TEST(BoardFlash, SixtyThreeProgramsAtMost) {
    TestHost host;
    host.Connect(0x7F);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(Store(host, "P" + std::to_string(i)), 4);
    }
    EXPECT_EQ(Store(host, "ONEMORE"), 3);
    EXPECT_EQ(BoardFlashPrograms(host.board).size(), 63u);
}

TEST(BoardFlash, FullFlashRefusesTheBlockAndTheEnd) {
    BoardOptions options;
    options.flashCapacityWords = 3;
    TestHost host(options);
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 1));
    EXPECT_EQ(host.Exchange(kLoadData), Answer(kLoadData, 1));
    EXPECT_EQ(host.Exchange(kLoadData), Answer(kLoadData, 0));  // 4 words > 3
    EXPECT_EQ(host.Exchange(kLoadStartAddress), Answer(kLoadStartAddress, 1));
    EXPECT_EQ(host.Exchange({0x03}), (Bytes{0x03, 0x03, 0x02}));
    EXPECT_TRUE(BoardFlashPrograms(host.board).empty());
}

TEST(BoardFlash, EndStatusNamesTheMissingStep) {
    TestHost host;
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange({0x03}), (Bytes{0x03, 0x03, 0x00}));
    EXPECT_EQ(host.Exchange(kLoadData), Answer(kLoadData, 0));  // no download open
    EXPECT_EQ(host.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 1));
    EXPECT_EQ(host.Exchange(kLoadData), Answer(kLoadData, 1));
    EXPECT_EQ(host.Exchange({0x03}), (Bytes{0x03, 0x03, 0x01}));
    EXPECT_TRUE(BoardFlashPrograms(host.board).empty());
}

TEST(BoardFlash, HostCleanUpAfterABrokenOffPacket) {
    TestHost host;
    host.Connect(0x7F);
    // Broken off in the name: the 0x04 is the start-program command.
    EXPECT_EQ(host.Exchange({0x00, 0x41}), (Bytes{0x00, 0x41}));
    EXPECT_EQ(host.Exchange({0x04}), (Bytes{0x04, 0x04, 0x01}));
    EXPECT_EQ(host.Exchange({0x0C}), Bytes{});
    EXPECT_TRUE(BoardFlashStarted(host.board, nullptr));

    // Broken off after a load-data command byte.
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 1));
    EXPECT_EQ(host.Exchange({0x02, 0x00}), (Bytes{0x02, 0x00}));
    EXPECT_EQ(host.Exchange({0x04}), (Bytes{0x04, 0x04, 0x01}));

    // Inside the data a 0x04 is data: echoed, and the packet goes on.
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 1));
    Bytes data = kLoadData;
    data[8] = 0x04;
    EXPECT_EQ(host.Exchange(Bytes(data.begin(), data.begin() + 9)),
              Bytes(data.begin(), data.begin() + 9));
    EXPECT_EQ(host.Exchange(Bytes(data.begin() + 9, data.end())),
              Plus(Bytes(data.begin() + 9, data.end()), {Sum(data), 0x01}));
}

TEST(BoardFlash, FillersBeforeTheFirstEchoAndBeforeTheStatus) {
    BoardOptions options;
    options.flashFillers = 3;
    TestHost host(options);
    host.Connect(0x7F);
    EXPECT_EQ(host.Exchange(kStartDownloadAB),
              Plus({0x7F, 0x7F, 0x7F}, Answer(kStartDownloadAB, 1)));
    EXPECT_EQ(host.Exchange(kLoadStartAddress), Answer(kLoadStartAddress, 1));
    EXPECT_EQ(host.Exchange({0x03}), (Bytes{0x03, 0x03, 0xFF, 0xFF, 0xFF, 0x04}));
}

TEST(BoardFlash, Faults) {
    BoardOptions echo;
    echo.flashCorruptEchoAt = 2;  // counted from the start-download command byte
    TestHost echoHost(echo);
    echoHost.Connect(0x7F);
    EXPECT_EQ(echoHost.Exchange({0x00, 0x41}), (Bytes{0x00, 0x41 ^ 0xA5}));
    EXPECT_EQ(echoHost.Exchange({0x04}), (Bytes{0x04, 0x04, 0x01}));

    BoardOptions checksum;
    checksum.flashWrongChecksumAt = 2;
    TestHost checksumHost(checksum);
    checksumHost.Connect(0x7F);
    EXPECT_EQ(checksumHost.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 1));
    EXPECT_EQ(checksumHost.Exchange(kLoadData), Plus(kLoadData, {0x5B, 0x01}));

    BoardOptions result;
    result.flashResultAt = 1;
    result.flashResultValue = 7;
    TestHost resultHost(result);
    resultHost.Connect(0x7F);
    EXPECT_EQ(resultHost.Exchange(kStartDownloadAB), Answer(kStartDownloadAB, 7));

    BoardOptions status;
    status.flashEndStatus = 2;
    TestHost statusHost(status);
    statusHost.Connect(0x7F);
    EXPECT_EQ(Store(statusHost, "AB"), 2);
    EXPECT_TRUE(BoardFlashPrograms(statusHost.board).empty());

    BoardOptions silent;
    silent.flashSilentFrom = 3;
    TestHost silentHost(silent);
    silentHost.Connect(0x7F);
    EXPECT_EQ(silentHost.Exchange(kStartDownloadAB), (Bytes{0x00, 0x41}));
    EXPECT_EQ(silentHost.Exchange({0x04}), Bytes{});
    EXPECT_TRUE(silentHost.Logged("silent"));
}

}  // namespace
