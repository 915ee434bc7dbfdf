// Format errors: each ends the process with exit code 2 after its message, naming the lane.
#include <string>

#include "reader_fixture.h"

namespace {

// A record of the given L, T and N fields with an 8-digit address and data characters.
std::string Line(const std::string& length, const std::string& type, const std::string& width,
                 const std::string& rest = "0000100011") {
    return "%" + length + type + "00" + width + rest + "\n";
}

const char* const kTermination = "%0E81F800001000\n";

std::string Repeat(const std::string& text, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) {
        all += text;
    }
    return all;
}

}  // namespace

TEST_F(HexReaderTest, TabBeforeTheRecordFailsTheFirstCharacterTest) {
    LaneTexts texts = WorkedExample();
    texts[2] = "\t" + texts[2];
    OpenLanes(texts);
    EXPECT_EQ(FailureMessage(), "ERROR: First Character In .X2 Line Must Always Be %\n");
}

TEST_F(HexReaderTest, EmptyLineBetweenRecordsFailsTheFirstCharacterTest) {
    LaneTexts texts = WorkedExample();
    texts[1].insert(texts[1].find('\n') + 1, "\n");
    OpenLanes(texts);
    Read();
    EXPECT_EQ(FailureMessage(), "ERROR: First Character In .X1 Line Must Always Be %\n");
}

TEST_F(HexReaderTest, FirstCharacterIsCheckedInAllLanesBeforeTheLength) {
    OpenLanes({Line("ZZ", "6", "8"), Line("0F", "6", "8"), "x" + Line("10", "6", "8"),
               Line("10", "6", "8")});
    EXPECT_EQ(FailureMessage(), "ERROR: First Character In .X2 Line Must Always Be %\n");
}

TEST_F(HexReaderTest, UnreadableFieldsNameTheirLane) {
    struct Case {
        LaneTexts texts;
        const char* message;
    };
    const std::string good = Line("10", "6", "8");
    const Case cases[] = {
        {{good, "%ZZ600800001000AA\n", good, good},
         "ERROR: There Must Alwys Be Two Block Length Characters In .X1 File\n"},
        // Every lane's length is read before any pair is compared.
        {{Line("10", "6", "8"), Line("12", "6", "8"), good, "%\n"},
         "ERROR: There Must Alwys Be Two Block Length Characters In .X3 File\n"},
        {{good, good, Line("10", "Z", "8"), good},
         "ERROR: There Must Alwys Be A Block Type Character In .X2 File\n"},
        {{good, good, good, "%106Z1800001000AA\n"},
         "ERROR: There Must Alwys Be A Checksum Character In .X3 File\n"},
        {{Line("10", "6", "G"), good, good, good},
         "ERROR: There Must Alwys Be A Length Of Load Address Character In .X0 File\n"},
        {{Line("10", "6", "8", "ZZZZZZZZ11"), good, good, good},
         "ERROR: Something Wrong With LoadAddress In .X0...X3 File\n"},
        // A line that ends early has nothing to read at the next field.
        {{good, "%10\n", good, good},
         "ERROR: There Must Alwys Be A Block Type Character In .X1 File\n"},
    };
    for (const Case& c : cases) {
        ResetHexReader();
        OpenLanes(c.texts);
        EXPECT_EQ(FailureMessage(), c.message) << c.texts[0] << c.texts[1] << c.texts[3];
    }
}

// Lanes from `firstDiffering` on carry the other value: the pair before them is named.
TEST_F(HexReaderTest, DifferingLanesGiveThePairMessages) {
    const char* const pairs[] = {".X0 File And .X1 File", ".X1 File And .X2 File",
                                 ".X2 File And .X3 File"};
    for (int firstDiffering = 1; firstDiffering < 4; ++firstDiffering) {
        std::string pair = pairs[firstDiffering - 1];
        LaneTexts lengths, types, widths;
        for (int lane = 0; lane < 4; ++lane) {
            bool other = lane >= firstDiffering;
            lengths[lane] = Line(other ? "12" : "10", "6", "8");
            types[lane] = Line("10", other ? "8" : "6", "8");
            widths[lane] = Line("10", "6", other ? "6" : "8");
        }
        OpenLanes(lengths);
        EXPECT_EQ(FailureMessage(), "ERROR: Block Lengths Of " + pair + " Must Be The Same\n");
        OpenLanes(types);
        EXPECT_EQ(FailureMessage(), "ERROR: Block Types Of " + pair + " Must Be The Same\n");
        OpenLanes(widths);
        EXPECT_EQ(FailureMessage(), "ERROR: Address Lengths Of " + pair + " Must Be The Same\n");
    }
}

TEST_F(HexReaderTest, IllegalBlockTypeAndAddressWidth) {
    OpenLanes(SameInAllLanes(Line("10", "7", "8")));
    EXPECT_EQ(FailureMessage(), "ERROR: Illegal Block Type 7 In .X0...X3 File\n");
    OpenLanes(SameInAllLanes(Line("10", "a", "8")));
    EXPECT_EQ(FailureMessage(), "ERROR: Illegal Block Type A In .X0...X3 File\n");
    OpenLanes(SameInAllLanes(Line("10", "6", "5")));
    EXPECT_EQ(FailureMessage(), "ERROR: Illegal LoadAddress Width 5 In .X0...X3 File\n");
    OpenLanes(SameInAllLanes(Line("10", "8", "0")));
    EXPECT_EQ(FailureMessage(), "ERROR: Illegal LoadAddress Width 0 In .X0...X3 File\n");
}

// In each pass lane 3 is read first, then 2, 1, 0; passes go in file order.
TEST_F(HexReaderTest, UnreadableDataByteNamesItsLane) {
    const std::string good = Line("12", "6", "8", "000010001122");
    OpenLanes({good, Line("12", "6", "8", "00001000ZZ22"), good, good});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X1 File\n");
    OpenLanes(
        {Line("12", "6", "8", "00001000ZZ22"), good, good, Line("12", "6", "8", "00001000Z122")});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X3 File\n");
    OpenLanes(
        {Line("12", "6", "8", "00001000ZZ22"), good, good, Line("12", "6", "8", "0000100011ZZ")});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X0 File\n");
}

// A data count that is odd or negative is the same in every lane; .X0 is named.
TEST_F(HexReaderTest, OddOrNegativeDataCountsAreRefused) {
    const char* const lines[] = {
        "%0F600800001000112\n",  // 8-digit address, one data character
        "%0C6008000010\n",       // shorter than its own address
        "%0B60041000112\n",      // 4-digit address, three data characters
        "%0860041000\n",         // 4-digit address, L below 6 + N
        "%116006123456112\n",    // 6-digit address, three data characters
    };
    for (const char* line : lines) {
        ResetHexReader();
        OpenLanes(SameInAllLanes(line));
        EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X0 File\n") << line;
    }
}

// Packets carry 24-bit addresses: a word or an entry above FFFFFF is refused, not cut.
TEST_F(HexReaderTest, AddressesAbove24BitsAreRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"%106008010000007F\n", "1000000"},              // first word
        {"%16600800FFFFFE11223344\n", "1000001"},        // last of four words
        {"%0A6004FFFF\n%0E81F8FFFFFFFF\n", "FFFFFFFF"},  // entry address
    };
    for (const auto& [lines, address] : cases) {
        ResetHexReader();
        OpenLanes(SameInAllLanes(lines));
        EXPECT_EQ(FailureMessage(),
                  std::string("ERROR: Address ") + address + " Above FFFFFF In .X0 File\n");
    }
}

TEST_F(HexReaderTest, DataRunningPastTheLineIsRefused) {
    const std::string good = Line("14", "6", "8", "00001000112233");
    OpenLanes({good, good, Line("14", "6", "8", "000010001122"), good});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X2 File\n");
    // Half a byte before the line end is not taken as a byte.
    OpenLanes({good, Line("14", "6", "8", "0000100011223"), good, good});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X1 File\n");
    // The same with CR LF: the line end is not data.
    OpenLanes({good, good, good, "%1460080000100011223\r\n"});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X3 File\n");
}

TEST_F(HexReaderTest, FailedRecordIsNotHandedBack) {
    const std::string good = Line("14", "6", "8", "00001000112233");
    OpenLanes({good, good, good, Line("14", "6", "8", "0000100011ZZ33")});
    HexRecord record;
    record.words = {0xDEADBEEF};
    std::string output;
    int code = FakeRunCapturing([&] { ReadRecordOrExit(lanes_, &record); }, &output);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(record.words, (std::vector<uint32_t>{0xDEADBEEF}));
    EXPECT_EQ(record.blockType, 0u);
}

// Only 98 characters of a line are read, leading blanks included: the byte cut there is
// refused.
TEST_F(HexReaderTest, OverLongLineIsCutAt98Characters) {
    const std::string fits = "%60600800001000" + Repeat("A5", 41) + "\n";
    OpenLanes({fits, "  " + fits, fits, fits});
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X1 File\n");
    const std::string longLine = "%62600800001000" + Repeat("A5", 42) + "\n";
    OpenLanes(SameInAllLanes(longLine));
    EXPECT_EQ(FailureMessage(), "ERROR: Something Wrong With Data Value In .X3 File\n");
}

TEST_F(HexReaderTest, RestOfAnOverLongLineFailsTheFirstCharacterTest) {
    const std::string record = "%1060080000100011";
    LaneTexts texts = SameInAllLanes(record + "\n" + kTermination);
    texts[2] = record + std::string(90, ' ') + "\n" + kTermination;
    OpenLanes(texts);
    EXPECT_EQ(Read().words, (std::vector<uint32_t>{0x11111111}));
    EXPECT_EQ(FailureMessage(), "ERROR: First Character In .X2 Line Must Always Be %\n");
}

// CR LF costs one more character: a 41-byte record's line feed is left for the next read.
TEST_F(HexReaderTest, CrLfLineOf99CharactersLeavesItsLineFeed) {
    const std::string line = "%60600800001000" + Repeat("00", 41) + "\r\n";
    LaneTexts texts = SameInAllLanes(line + kTermination);
    OpenLanes(texts);
    EXPECT_EQ(Read().words.size(), 41u);
    EXPECT_EQ(FailureMessage(), "ERROR: First Character In .X0 Line Must Always Be %\n");
}

namespace {

int CleanupRuns = 0;
void RecordCleanup() {
    ++CleanupRuns;
    printf("<cleanup>");
}

}  // namespace

TEST_F(HexReaderTest, CleanupRunsAfterTheMessageAndBeforeTheExit) {
    CleanupRuns = 0;
    EnableAuto_RTS_CTS(1);
    LaneTexts texts = WorkedExample();
    texts[3] = "%1262880000100012ZA\n";
    OpenLanes(texts);
    EXPECT_EQ(FailureMessage(RecordCleanup),
              "ERROR: Something Wrong With Data Value In .X3 File\n<cleanup>");
    EXPECT_EQ(CleanupRuns, 1);
    // The exit went through ExitLoader, which drops flow control and RTS.
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(HexReaderTest, WellFormedRecordsNeverRunTheCleanup) {
    CleanupRuns = 0;
    OpenLanes(WorkedExample());
    HexRecord record;
    std::string output;
    CleanupDue = RecordCleanup;
    int code = FakeRunCapturing(
        [&] {
            while (ReadRecordOrExit(lanes_, &record) && record.blockType != kBlockTypeTermination) {
            }
        },
        &output);
    EXPECT_EQ(code, -1);
    EXPECT_EQ(output, "");
    EXPECT_EQ(CleanupRuns, 0);
}

TEST_F(HexReaderTest, LaneEndingBeforeTheTerminationNamesTheFirstLaneAtItsEnd) {
    // Lane 0 still has a line, lanes 1 and 3 have none: lane 1 is met first.
    LaneTexts texts = SameInAllLanes("%0E6008000010000E\n");
    texts[0] += "%0E6008000020000E\n";
    texts[2] += "%0E6008000020000E\n";
    OpenLanes(texts);
    Read();
    CleanupRuns = 0;
    EnableAuto_RTS_CTS(1);
    EXPECT_EQ(FailureMessage(RecordCleanup), "ERROR: Unexpected End Of .X1 File\n<cleanup>");
    EXPECT_EQ(CleanupRuns, 1);
    EXPECT_FALSE(FakeCtsFlowOn());
    EXPECT_FALSE(FakeRtsOn());
}

TEST_F(HexReaderTest, ReadErrorIsAnUnexpectedEnd) {
    OpenLanes(WorkedExample());
    // A folder opens as a stream on this host but fails its first read.
    fclose(lanes_[3]);
    lanes_[3] = fopen(folder_.Path().c_str(), "rb");
    ASSERT_NE(lanes_[3], nullptr);
    EXPECT_EQ(FailureMessage(), "ERROR: Unexpected End Of .X3 File\n");
}

TEST_F(HexReaderTest, LanesEndingAfterTheTerminationGiveTheEnd) {
    // Lanes 0 and 3 stop at the termination line without a line end, lanes 1 and 2 with one.
    LaneTexts texts = WorkedExample();
    texts[0].pop_back();
    texts[3].pop_back();
    OpenLanes(texts);
    Read();
    EXPECT_EQ(Read().blockType, kBlockTypeTermination);
    ExpectEnd();
}
