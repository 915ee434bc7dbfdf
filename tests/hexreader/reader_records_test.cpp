// Records the reader accepts and the words it joins from the four lanes.
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "reader_fixture.h"

TEST_F(HexReaderTest, WorkedExampleGivesTwoWordsThenTheEntryAddress) {
    OpenLanes(WorkedExample());
    HexRecord data = Read();
    EXPECT_EQ(data.blockType, kBlockTypeData);
    EXPECT_EQ(data.blockLength, 0x12u);
    EXPECT_EQ(data.addressLength, 8u);
    EXPECT_EQ(data.loadAddress, 0x1000u);
    EXPECT_EQ(data.words, (std::vector<uint32_t>{0x12345678, 0x9ABCDEF0}));

    HexRecord termination = Read();
    EXPECT_EQ(termination.blockType, kBlockTypeTermination);
    EXPECT_EQ(termination.blockLength, 0x0Eu);
    EXPECT_EQ(termination.loadAddress, 0x1000u);
    EXPECT_TRUE(termination.words.empty());
}

TEST_F(HexReaderTest, CrLfLineEndsReadLikeLf) {
    OpenLanes(WorkedExample("\r\n"));
    EXPECT_EQ(Read().words, (std::vector<uint32_t>{0x12345678, 0x9ABCDEF0}));
    EXPECT_EQ(Read().blockType, kBlockTypeTermination);
}

TEST_F(HexReaderTest, LastLineWithoutLineEndIsRead) {
    LaneTexts texts = WorkedExample();
    for (auto& text : texts) {
        text.pop_back();
    }
    OpenLanes(texts);
    Read();
    EXPECT_EQ(Read().blockType, kBlockTypeTermination);
    ExpectEnd();
}

TEST_F(HexReaderTest, LeadingBlanksAreSkippedPerLane) {
    LaneTexts texts = WorkedExample();
    texts[1] = "   " + texts[1];
    texts[3] = " " + texts[3];
    OpenLanes(texts);
    EXPECT_EQ(Read().words, (std::vector<uint32_t>{0x12345678, 0x9ABCDEF0}));
}

TEST_F(HexReaderTest, LowerCaseDigitsInEveryField) {
    OpenLanes({"%12630800ab10cd78f0\n", "%12638800ab10cd56de\n", "%12630800ab10cd34bc\n",
               "%12628800ab10cd129a\n"});
    HexRecord record = Read();
    EXPECT_EQ(record.loadAddress, 0x00AB10CDu);
    EXPECT_EQ(record.words, (std::vector<uint32_t>{0x12345678, 0x9ABCDEF0}));
    OpenLanes(SameInAllLanes("%0e81f80000abcd\n"));
    EXPECT_EQ(Read().loadAddress, 0xABCDu);
}

TEST_F(HexReaderTest, ChecksumFieldIsNotVerified) {
    OpenLanes({"%126008000010007800\n", "%1260F8000010005600\n", "%1269980000100034FF\n",
               "%126 18000010001200\n"});
    EXPECT_EQ(Read().words, (std::vector<uint32_t>{0x12345678, 0x00FF0000}));
}

TEST_F(HexReaderTest, OnlyLaneZeroGivesTheAddress) {
    OpenLanes({"%1063080000100011\n", "%106388FFFFFFFF22\n", "%1063080ABCDEF033\n",
               "%10628812345678AA\n"});
    HexRecord record = Read();
    EXPECT_EQ(record.loadAddress, 0x1000u);
    EXPECT_EQ(record.words, (std::vector<uint32_t>{0xAA332211}));
}

TEST_F(HexReaderTest, EmptyDataRecordHasNoWords) {
    OpenLanes(SameInAllLanes("%0E6008000020000E\n"));
    HexRecord record = Read();
    EXPECT_EQ(record.blockType, kBlockTypeData);
    EXPECT_TRUE(record.words.empty());
    EXPECT_EQ(record.loadAddress, 0x2000u);
}

// Up to the top of the 24-bit space: a record whose last word is at FFFFFF, entry FFFFFF.
TEST_F(HexReaderTest, EightDigitAddressIsReadWhole) {
    OpenLanes(SameInAllLanes("%0E600800FE1234\n%12600800FFFFFE1122\n%0E81F800FFFFFF\n"));
    EXPECT_EQ(Read().loadAddress, 0xFE1234u);
    EXPECT_EQ(Read().words.size(), 2u);
    EXPECT_EQ(Read().loadAddress, 0xFFFFFFu);
}

// Narrower addresses carry the data behind their own width: L - 6 - N characters per lane.
TEST_F(HexReaderTest, FourAndSixDigitAddressesCarryTheirOwnDataCount) {
    OpenLanes({"%0E60041000A0B0\n%1060061234560102\n", "%0E60041000A1B1\n%1060061234561112\n",
               "%0E60041000A2B2\n%1060061234562122\n", "%0E60041000A3B3\n%1060061234563132\n"});
    HexRecord four = Read();
    EXPECT_EQ(four.addressLength, 4u);
    EXPECT_EQ(four.loadAddress, 0x1000u);
    EXPECT_EQ(four.words, (std::vector<uint32_t>{0xA3A2A1A0, 0xB3B2B1B0}));
    HexRecord six = Read();
    EXPECT_EQ(six.addressLength, 6u);
    EXPECT_EQ(six.loadAddress, 0x123456u);
    EXPECT_EQ(six.words, (std::vector<uint32_t>{0x31211101, 0x32221202}));
}

// Fields sit at fixed offsets: a conversion skips white space and then takes up to the
// field's width in digits, even from the next field, but the position still moves on by
// the field's own width.
TEST_F(HexReaderTest, FieldsAreReadAtFixedOffsets) {
    OpenLanes(SameInAllLanes("%106 08    123477\n%E 8 08    1234\n"));
    HexRecord data = Read();
    EXPECT_EQ(data.blockLength, 0x10u);
    EXPECT_EQ(data.loadAddress, 0x123477u);
    EXPECT_EQ(data.words, (std::vector<uint32_t>{0x77777777}));
    HexRecord termination = Read();
    EXPECT_EQ(termination.blockType, kBlockTypeTermination);
    EXPECT_EQ(termination.blockLength, 0x0Eu);
    EXPECT_EQ(termination.loadAddress, 0x1234u);
}

TEST_F(HexReaderTest, TerminationRecordDataIsNeverRead) {
    OpenLanes(SameInAllLanes("%1C8008000004D2ZZ\n"));
    HexRecord record = Read();
    EXPECT_EQ(record.blockType, kBlockTypeTermination);
    EXPECT_EQ(record.blockLength, 0x1Cu);
    EXPECT_TRUE(record.words.empty());
    EXPECT_EQ(record.loadAddress, 0x4D2u);
}

TEST_F(HexReaderTest, LineOfExactly98CharactersIsOneRecord) {
    // 41 bytes per lane: 97 characters and the line feed.
    std::string data;
    for (int i = 0; i < 41; ++i) {
        data += "5A";
    }
    OpenLanes(SameInAllLanes("%60600800001000" + data + "\n%0E81F800001000\n"));
    HexRecord record = Read();
    ASSERT_EQ(record.words.size(), 41u);
    EXPECT_EQ(record.words.back(), 0x5A5A5A5Au);
    EXPECT_EQ(Read().blockType, kBlockTypeTermination);
}

TEST_F(HexReaderTest, ResetForgetsTheTerminationRecord) {
    OpenLanes(WorkedExample());
    Read();
    Read();
    ResetHexReader();
    EXPECT_EQ(FailureMessage(), "ERROR: Unexpected End Of .X0 File\n");
}

namespace {

// Named by the build, so the path holds whatever the compiler makes of __FILE__.
std::string ExamplesFolder() {
    return EXAMPLES_DIR;
}

// Sum of the digit values of every character but the "%" and the checksum field.
bool ChecksumValid(const std::string& line) {
    unsigned sum = 0;
    for (size_t i = 1; i < line.size(); ++i) {
        if (i == 4 || i == 5) {
            continue;
        }
        char c = line[i];
        sum += (c >= '0' && c <= '9') ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
    }
    return strtoul(line.substr(4, 2).c_str(), nullptr, 16) == (sum & 0xFF);
}

}  // namespace

TEST_F(HexReaderTest, ExampleProgramReadsWholeWithValidChecksums) {
    LaneTexts texts;
    for (int lane = 0; lane < 4; ++lane) {
        std::ifstream in(ExamplesFolder() + "/BLINK.X" + std::to_string(lane), std::ios::binary);
        ASSERT_TRUE(in) << "examples/BLINK.X" << lane;
        std::stringstream all;
        all << in.rdbuf();
        texts[lane] = all.str();
        std::istringstream lines(texts[lane]);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(ChecksumValid(line)) << "lane " << lane << ": " << line;
        }
    }
    OpenLanes(texts);
    size_t words = 0;
    std::vector<uint32_t> addresses;
    HexRecord record = Read();
    for (int i = 0; i < 1000 && record.blockType == kBlockTypeData; ++i) {
        EXPECT_EQ(record.addressLength, 8u);
        EXPECT_EQ(record.blockLength, 14 + 2 * record.words.size());
        words += record.words.size();
        addresses.push_back(record.loadAddress);
        record = Read();
    }
    EXPECT_EQ(record.blockType, kBlockTypeTermination);
    EXPECT_GE(words, 200u);
    EXPECT_GE(addresses.size(), 3u);
    ExpectEnd();
}
