// Reader of the four byte-lane Extended Tektronix Hex files of a program. The four files
// are read in step, one line of each per record; every field sits at a fixed offset from
// the "%" and is checked in all four lanes before the next field is looked at.
#include "hexreader/hexreader.h"

#include <cstdarg>
#include <cstring>
#include <utility>


namespace {

// 98 characters of a line and the terminating NUL.
constexpr int kLineBufferSize = 99;
constexpr size_t kMessageSize = 128;

// The lines of one record and, per lane, where its next field starts.
struct Lines {
    char text[kLaneCount][kLineBufferSize];
    size_t position[kLaneCount];
};

bool TerminationSeen = false;

// Fills in the error; false, so that a check can return it.
bool Fail(ReaderError* error, const char* format, ...) {
    char message[kMessageSize];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    error->message = message;
    return false;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// Formatted hexadecimal input of at most `width` digits at `position` of a lane's line:
// white space in front is skipped, as a formatted input conversion does. False when no
// digit can be taken there (also at or behind the end of the line read).
bool ReadHexField(const char* line, size_t position, int width, uint32_t* value) {
    size_t length = strlen(line);
    if (position >= length) {
        return false;
    }
    size_t at = position;
    while (at < length && IsWhiteSpace(line[at])) {
        ++at;
    }
    uint32_t result = 0;
    int taken = 0;
    while (taken < width && at < length && HexDigitValue(line[at]) >= 0) {
        result = (result << 4) | static_cast<uint32_t>(HexDigitValue(line[at]));
        ++at;
        ++taken;
    }
    if (taken == 0) {
        return false;
    }
    *value = result;
    return true;
}

// Number of characters of the line in front of its line end (LF or CR LF).
size_t ContentLength(const char* line) {
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        --length;
        if (length > 0 && line[length - 1] == '\r') {
            --length;
        }
    }
    return length;
}

void StepAllLanes(Lines* lines, size_t count) {
    for (size_t& position : lines->position) {
        position += count;
    }
}

// Reads one field of the given width in every lane (lane 0 first) and steps past it; a
// lane without a digit there is named in the message.
bool ReadFieldInAllLanes(Lines* lines, int width, uint32_t value[kLaneCount], const char* message,
                         ReaderError* error) {
    for (int lane = 0; lane < kLaneCount; ++lane) {
        if (!ReadHexField(lines->text[lane], lines->position[lane], width, &value[lane])) {
            return Fail(error, message, lane);
        }
    }
    StepAllLanes(lines, static_cast<size_t>(width));
    return true;
}

// The pair messages: lane 0 against 1, 1 against 2, 2 against 3.
bool LanePairsAgree(const uint32_t value[kLaneCount], const char* message, ReaderError* error) {
    for (int lane = 0; lane + 1 < kLaneCount; ++lane) {
        if (value[lane] != value[lane + 1]) {
            return Fail(error, message, lane, lane + 1);
        }
    }
    return true;
}

// A field that must be read and be the same in all four lanes.
bool ReadAgreedField(Lines* lines, int width, uint32_t value[kLaneCount], const char* missing,
                     const char* differing, ReaderError* error) {
    return ReadFieldInAllLanes(lines, width, value, missing, error) &&
           LanePairsAgree(value, differing, error);
}

// Only the termination record ends a program: a lane that runs out (or cannot be read)
// before it would otherwise pass a partly sent program off as a whole one.
ReadResult LaneEnded(int lane, ReaderError* error) {
    if (TerminationSeen) {
        return ReadResult::End;
    }
    Fail(error, "ERROR: Unexpected End Of .X%d File\n", lane);
    return ReadResult::Error;
}

// A lane already at its end is met before any line is read.
ReadResult ReadLines(FILE* lanes[kLaneCount], Lines* lines, ReaderError* error) {
    for (int lane = 0; lane < kLaneCount; ++lane) {
        if (feof(lanes[lane]) || ferror(lanes[lane])) {
            return LaneEnded(lane, error);
        }
    }
    for (int lane = 0; lane < kLaneCount; ++lane) {
        if (fgets(lines->text[lane], kLineBufferSize, lanes[lane]) == nullptr) {
            return LaneEnded(lane, error);
        }
    }
    for (int lane = 0; lane < kLaneCount; ++lane) {
        size_t at = 0;
        while (lines->text[lane][at] == ' ') {
            ++at;
        }
        lines->position[lane] = at;
    }
    return ReadResult::Record;
}

// The fields in front of the data: "%", L, T, the checksum, N and lane 0's address.
bool ReadHeader(Lines* lines, HexRecord* record, ReaderError* error) {
    for (int lane = 0; lane < kLaneCount; ++lane) {
        if (lines->text[lane][lines->position[lane]] != '%') {
            return Fail(error, "ERROR: First Character In .X%d Line Must Always Be %s\n", lane,
                        "%");
        }
    }
    StepAllLanes(lines, 1);
    uint32_t length[kLaneCount];
    uint32_t type[kLaneCount];
    uint32_t checksum[kLaneCount];  // must be there; its value is not verified
    uint32_t width[kLaneCount];
    const bool fieldsRead =
        ReadAgreedField(lines, 2, length,
                        "ERROR: There Must Alwys Be Two Block Length Characters In .X%d File\n",
                        "ERROR: Block Lengths Of .X%d File And .X%d File Must Be The Same\n",
                        error) &&
        ReadAgreedField(
            lines, 1, type, "ERROR: There Must Alwys Be A Block Type Character In .X%d File\n",
            "ERROR: Block Types Of .X%d File And .X%d File Must Be The Same\n", error) &&
        (type[0] == kBlockTypeData || type[0] == kBlockTypeTermination ||
         Fail(error, "ERROR: Illegal Block Type %X In .X0...X3 File\n", type[0])) &&
        ReadFieldInAllLanes(lines, 2, checksum,
                            "ERROR: There Must Alwys Be A Checksum Character In .X%d File\n",
                            error) &&
        ReadAgreedField(
            lines, 1, width,
            "ERROR: There Must Alwys Be A Length Of Load Address Character In .X%d File\n",
            "ERROR: Address Lengths Of .X%d File And .X%d File Must Be The Same\n", error);
    if (!fieldsRead) {
        return false;
    }
    if (width[0] != 4 && width[0] != 6 && width[0] != 8) {
        return Fail(error, "ERROR: Illegal LoadAddress Width %u In .X0...X3 File\n", width[0]);
    }
    // Only lane 0's address counts; the other lanes' address digits are skipped unread.
    if (!ReadHexField(lines->text[0], lines->position[0], static_cast<int>(width[0]),
                      &record->loadAddress)) {
        return Fail(error, "ERROR: Something Wrong With LoadAddress In .X0...X3 File\n");
    }
    StepAllLanes(lines, width[0]);
    record->blockType = type[0];
    record->blockLength = length[0];
    record->addressLength = width[0];
    return true;
}

// A word address the packets cannot carry: cut to 24 bits, the words would land elsewhere.
bool AddressFits(uint32_t address, ReaderError* error) {
    if (address > kTopAddress) {
        return Fail(error, "ERROR: Address %lX Above FFFFFF In .X0 File\n",
                    static_cast<unsigned long>(address));
    }
    return true;
}

// The data characters behind the address, one byte of each lane per word.
bool ReadData(Lines* lines, HexRecord* record, ReaderError* error) {
    // The characters behind the "%" in front of the data are L, T, the checksum, N and
    // the address: 6 + N. L and N are equal in all lanes, so a count that is odd or
    // negative is a fault of every lane; it is reported against .X0.
    const int dataCharacters =
        static_cast<int>(record->blockLength) - 6 - static_cast<int>(record->addressLength);
    if (dataCharacters < 0 || dataCharacters % 2 != 0) {
        return Fail(error, "ERROR: Something Wrong With Data Value In .X0 File\n");
    }
    const int words = dataCharacters / 2;
    // The first word's address is within 24 bits here, so the last one's cannot overflow.
    if (words > 0 && !AddressFits(record->loadAddress + static_cast<uint32_t>(words) - 1, error)) {
        return false;
    }
    size_t contentEnd[kLaneCount];
    for (int lane = 0; lane < kLaneCount; ++lane) {
        contentEnd[lane] = ContentLength(lines->text[lane]);
    }
    record->words.reserve(static_cast<size_t>(words));
    for (int i = 0; i < words; ++i) {
        uint32_t word = 0;
        for (int lane = kLaneCount - 1; lane >= 0; --lane) {
            // A byte cut short by the line end (or the 98-character read) is refused
            // rather than taken as a half byte.
            uint32_t byte = 0;
            const size_t at = lines->position[lane];
            if (at + 2 > contentEnd[lane] || !ReadHexField(lines->text[lane], at, 2, &byte)) {
                return Fail(error, "ERROR: Something Wrong With Data Value In .X%d File\n", lane);
            }
            word |= byte << (8 * lane);
        }
        record->words.push_back(word);
        StepAllLanes(lines, 2);
    }
    return true;
}

}  // namespace

ReadResult ReadHexRecord(FILE* lanes[kLaneCount], HexRecord* record, ReaderError* error) {
    Lines lines;
    const ReadResult read = ReadLines(lanes, &lines, error);
    if (read != ReadResult::Record) {
        return read;
    }
    HexRecord result;
    // The first word's address of a data record, the entry address of the termination one.
    if (!ReadHeader(&lines, &result, error) || !AddressFits(result.loadAddress, error)) {
        return ReadResult::Error;
    }
    if (result.blockType == kBlockTypeData && !ReadData(&lines, &result, error)) {
        return ReadResult::Error;
    }
    if (result.blockType == kBlockTypeTermination) {
        TerminationSeen = true;
    }
    *record = std::move(result);
    return ReadResult::Record;
}

void ResetHexReader() {
    TerminationSeen = false;
}
