// Format errors: each comes back as its message, which names the lane at fault.
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

// `texts` with lane `lane` replaced.
LaneTexts With(LaneTexts texts, int lane, const std::string& text) {
    texts[lane] = text;
    return texts;
}

// Lanes from `first` on carry `other`, the lanes before them `line`.
LaneTexts SplitAt(int first, const std::string& line, const std::string& other) {
    LaneTexts texts;
    for (int lane = 0; lane < 4; ++lane) {
        texts[lane] = lane < first ? line : other;
    }
    return texts;
}

struct ErrorCase {
    LaneTexts texts;
    std::string message;  // behind "ERROR: "
};

}  // namespace

// Fields are checked in line order, each in all four lanes (lane 0 first) before the next
// field is looked at, so the message names the first lane at fault in the first faulty field.
TEST_F(HexReaderTest, EachFormatErrorNamesTheLaneAtFault) {
    const std::string good = Line("10", "6", "8");
    const std::string data = Line("12", "6", "8", "000010001122");
    const std::string longer = Line("14", "6", "8", "00001000112233");
    const std::string fits = "%60600800001000" + Repeat("A5", 41) + "\n";
    const std::string cut = "%1060080000100011";
    const std::string blank = "%0E6008000010000E\n";
    const ErrorCase cases[] = {
        {With(WorkedExample(), 2, "\t" + WorkedExample()[2]),
         "First Character In .X2 Line Must Always Be %"},
        // An empty line between records is a record without "%".
        {With(WorkedExample(), 1, "%1263880000100056DE\n\n" + std::string(kTermination)),
         "First Character In .X1 Line Must Always Be %"},
        {{Line("ZZ", "6", "8"), Line("0F", "6", "8"), "x" + good, good},
         "First Character In .X2 Line Must Always Be %"},
        {With(SameInAllLanes(good), 1, "%ZZ600800001000AA\n"),
         "There Must Alwys Be Two Block Length Characters In .X1 File"},
        // Every lane's length is read before any pair is compared.
        {{good, Line("12", "6", "8"), good, "%\n"},
         "There Must Alwys Be Two Block Length Characters In .X3 File"},
        {With(SameInAllLanes(good), 2, Line("10", "Z", "8")),
         "There Must Alwys Be A Block Type Character In .X2 File"},
        // A line that ends early has nothing to read at the next field.
        {With(SameInAllLanes(good), 1, "%10\n"),
         "There Must Alwys Be A Block Type Character In .X1 File"},
        {With(SameInAllLanes(good), 3, "%106Z1800001000AA\n"),
         "There Must Alwys Be A Checksum Character In .X3 File"},
        {With(SameInAllLanes(good), 0, Line("10", "6", "G")),
         "There Must Alwys Be A Length Of Load Address Character In .X0 File"},
        {With(SameInAllLanes(good), 0, Line("10", "6", "8", "ZZZZZZZZ11")),
         "Something Wrong With LoadAddress In .X0...X3 File"},
        // Of differing lanes the first pair that differs is named.
        {SplitAt(1, good, Line("12", "6", "8")),
         "Block Lengths Of .X0 File And .X1 File Must Be The Same"},
        {SplitAt(2, good, Line("10", "8", "8")),
         "Block Types Of .X1 File And .X2 File Must Be The Same"},
        {SplitAt(3, good, Line("10", "6", "6")),
         "Address Lengths Of .X2 File And .X3 File Must Be The Same"},
        {SameInAllLanes(Line("10", "7", "8")), "Illegal Block Type 7 In .X0...X3 File"},
        {SameInAllLanes(Line("10", "a", "8")), "Illegal Block Type A In .X0...X3 File"},
        {SameInAllLanes(Line("10", "6", "5")), "Illegal LoadAddress Width 5 In .X0...X3 File"},
        {SameInAllLanes(Line("10", "8", "0")), "Illegal LoadAddress Width 0 In .X0...X3 File"},
        // In each pass over the data lane 3 is read first, then 2, 1, 0.
        {With(SameInAllLanes(data), 1, Line("12", "6", "8", "00001000ZZ22")),
         "Something Wrong With Data Value In .X1 File"},
        {{Line("12", "6", "8", "00001000ZZ22"), data, data, Line("12", "6", "8", "00001000Z122")},
         "Something Wrong With Data Value In .X3 File"},
        {{Line("12", "6", "8", "00001000ZZ22"), data, data, Line("12", "6", "8", "0000100011ZZ")},
         "Something Wrong With Data Value In .X0 File"},
        // A data count that is odd or negative is the same in every lane: .X0 is named.
        {SameInAllLanes("%0F600800001000112\n"), "Something Wrong With Data Value In .X0 File"},
        {SameInAllLanes("%0C6008000010\n"), "Something Wrong With Data Value In .X0 File"},
        {SameInAllLanes("%0B60041000112\n"), "Something Wrong With Data Value In .X0 File"},
        {SameInAllLanes("%0860041000\n"), "Something Wrong With Data Value In .X0 File"},
        {SameInAllLanes("%116006123456112\n"), "Something Wrong With Data Value In .X0 File"},
        // Packets carry 24-bit addresses: a first word, a last word or an entry above FFFFFF.
        {SameInAllLanes("%106008010000007F\n"), "Address 1000000 Above FFFFFF In .X0 File"},
        {SameInAllLanes("%16600800FFFFFE11223344\n"), "Address 1000001 Above FFFFFF In .X0 File"},
        {SameInAllLanes("%0A6004FFFF\n%0E81F8FFFFFFFF\n"),
         "Address FFFFFFFF Above FFFFFF In .X0 File"},
        // Data running past the line end, half a byte before it, a CR LF line end.
        {With(SameInAllLanes(longer), 2, Line("14", "6", "8", "000010001122")),
         "Something Wrong With Data Value In .X2 File"},
        {With(SameInAllLanes(longer), 1, "%1460080000100011223\n"),
         "Something Wrong With Data Value In .X1 File"},
        {With(SameInAllLanes(longer), 3, "%1460080000100011223\r\n"),
         "Something Wrong With Data Value In .X3 File"},
        // Only 98 characters of a line are read, leading blanks included.
        {With(SameInAllLanes(fits), 1, "  " + fits), "Something Wrong With Data Value In .X1 File"},
        {SameInAllLanes("%62600800001000" + Repeat("A5", 42) + "\n"),
         "Something Wrong With Data Value In .X3 File"},
        // The rest of a line cut there is read as the next line, as is CR LF's line feed.
        {With(SameInAllLanes(cut + "\n" + kTermination), 2,
              cut + std::string(90, ' ') + "\n" + kTermination),
         "First Character In .X2 Line Must Always Be %"},
        {SameInAllLanes("%60600800001000" + Repeat("00", 41) + "\r\n" + kTermination),
         "First Character In .X0 Line Must Always Be %"},
        // Only the termination record ends a program; the first lane found at its end is named.
        {SameInAllLanes(""), "Unexpected End Of .X0 File"},
        {SameInAllLanes("%106008000030007F\n"), "Unexpected End Of .X0 File"},
        {With(SameInAllLanes(blank + blank), 2, "%0E6008000010000E"), "Unexpected End Of .X2 File"},
        {{blank + blank, blank, blank + blank, blank}, "Unexpected End Of .X1 File"},
    };
    for (const ErrorCase& c : cases) {
        ResetHexReader();
        OpenLanes(c.texts);
        EXPECT_EQ(FailureMessage(), "ERROR: " + c.message + "\n")
            << c.texts[0] << c.texts[1] << c.texts[2] << c.texts[3];
    }
}

TEST_F(HexReaderTest, FailedRecordIsNotHandedBack) {
    const std::string good = Line("14", "6", "8", "00001000112233");
    OpenLanes({good, good, good, Line("14", "6", "8", "0000100011ZZ33")});
    HexRecord record;
    record.words = {0xDEADBEEF};
    ReaderError error;
    EXPECT_EQ(ReadHexRecord(lanes_, &record, &error), ReadResult::Error);
    EXPECT_EQ(record.words, (std::vector<uint32_t>{0xDEADBEEF}));
    EXPECT_EQ(record.blockType, 0u);
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
