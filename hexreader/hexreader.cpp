// Reader of the four byte-lane Extended Tektronix Hex files of a program. The four files
// are read in step, one line of each per record; every field sits at a fixed offset from
// the "%" and is checked in all four lanes before the next field is looked at.
#include "hexreader/hexreader.h"

#include <cstdarg>
#include <cstring>
#include <utility>

#include "link/link.h"
#include "link/trace.h"

uint32_t LoadAddress = 0;

namespace {

constexpr int kLanes = 4;
// 98 characters of a line and the terminating NUL.
constexpr int kLineBufferSize = 99;

char LineBuffer[kLanes][kLineBufferSize];
bool TerminationSeen = false;

[[noreturn]] void FormatError(CleanupStep cleanup, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PrintExitMessageV(format, args);
    va_end(args);
    fflush(stdout);
    if (cleanup != nullptr) {
        cleanup();
    }
    ExitLoader(2);
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

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Formatted hexadecimal input of at most `width` digits at `position` of a lane's line:
// white space in front is skipped, as a formatted input conversion does. False when no
// digit can be taken there (also at or behind the end of the line read).
bool ReadHexField(int lane, size_t position, int width, uint32_t* value) {
    const char* line = LineBuffer[lane];
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
size_t ContentLength(int lane) {
    const char* line = LineBuffer[lane];
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        --length;
        if (length > 0 && line[length - 1] == '\r') {
            --length;
        }
    }
    return length;
}

// Reads one field of the given width in every lane (lane 0 first); a lane without a digit
// there ends the process with that lane's message.
void ReadFieldInAllLanes(const size_t position[kLanes], int width, uint32_t value[kLanes],
                         const char* message, CleanupStep cleanup) {
    for (int lane = 0; lane < kLanes; ++lane) {
        if (!ReadHexField(lane, position[lane], width, &value[lane])) {
            FormatError(cleanup, message, lane);
        }
    }
}

// The pair messages: lane 0 against 1, 1 against 2, 2 against 3.
void CompareLanePairs(const uint32_t value[kLanes], const char* message, CleanupStep cleanup) {
    for (int lane = 0; lane + 1 < kLanes; ++lane) {
        if (value[lane] != value[lane + 1]) {
            FormatError(cleanup, message, lane, lane + 1);
        }
    }
}

// A lane at its end (or failing to read) after the termination record is the end of the
// program's records; before it, a format error.
void LaneEnded(int lane, CleanupStep cleanup) {
    if (!TerminationSeen) {
        FormatError(cleanup, "ERROR: Unexpected End Of .X%d File\n", lane);
    }
}

void StepAllLanes(size_t position[kLanes], size_t count) {
    for (int lane = 0; lane < kLanes; ++lane) {
        position[lane] += count;
    }
}

}  // namespace

bool ReadHexRecord(FILE* lanes[4], HexRecord* record, CleanupStep cleanup) {
    // Only the termination record ends a program: a lane that runs out (or cannot be read)
    // before it would otherwise pass a partly sent program off as a whole one.
    for (int lane = 0; lane < kLanes; ++lane) {
        if (feof(lanes[lane]) || ferror(lanes[lane])) {
            LaneEnded(lane, cleanup);
            return false;
        }
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        if (fgets(LineBuffer[lane], kLineBufferSize, lanes[lane]) == nullptr) {
            LineBuffer[lane][0] = '\0';
            LaneEnded(lane, cleanup);
            return false;
        }
    }

    size_t position[kLanes];
    for (int lane = 0; lane < kLanes; ++lane) {
        size_t at = 0;
        while (LineBuffer[lane][at] == ' ') {
            ++at;
        }
        position[lane] = at;
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        if (LineBuffer[lane][position[lane]] != '%') {
            FormatError(cleanup, "ERROR: First Character In .X%d Line Must Always Be %s\n", lane,
                        "%");
        }
    }
    StepAllLanes(position, 1);

    uint32_t blockLength[kLanes];
    ReadFieldInAllLanes(position, 2, blockLength,
                        "ERROR: There Must Alwys Be Two Block Length Characters In .X%d File\n",
                        cleanup);
    CompareLanePairs(blockLength,
                     "ERROR: Block Lengths Of .X%d File And .X%d File Must Be The Same\n", cleanup);
    StepAllLanes(position, 2);

    uint32_t blockType[kLanes];
    ReadFieldInAllLanes(position, 1, blockType,
                        "ERROR: There Must Alwys Be A Block Type Character In .X%d File\n",
                        cleanup);
    CompareLanePairs(blockType, "ERROR: Block Types Of .X%d File And .X%d File Must Be The Same\n",
                     cleanup);
    if (blockType[0] != kBlockTypeData && blockType[0] != kBlockTypeTermination) {
        FormatError(cleanup, "ERROR: Illegal Block Type %X In .X0...X3 File\n", blockType[0]);
    }
    StepAllLanes(position, 1);

    // The checksum must be there; its value is not verified.
    uint32_t checksum[kLanes];
    ReadFieldInAllLanes(position, 2, checksum,
                        "ERROR: There Must Alwys Be A Checksum Character In .X%d File\n", cleanup);
    StepAllLanes(position, 2);

    uint32_t addressLength[kLanes];
    ReadFieldInAllLanes(
        position, 1, addressLength,
        "ERROR: There Must Alwys Be A Length Of Load Address Character In .X%d File\n", cleanup);
    CompareLanePairs(addressLength,
                     "ERROR: Address Lengths Of .X%d File And .X%d File Must Be The Same\n",
                     cleanup);
    StepAllLanes(position, 1);

    const uint32_t width = addressLength[0];
    if (width != 4 && width != 6 && width != 8) {
        FormatError(cleanup, "ERROR: Illegal LoadAddress Width %u In .X0...X3 File\n", width);
    }
    // Only lane 0's address counts; the other lanes' address digits are skipped unread.
    uint32_t address = 0;
    if (!ReadHexField(0, position[0], static_cast<int>(width), &address)) {
        FormatError(cleanup, "ERROR: Something Wrong With LoadAddress In .X0...X3 File\n");
    }
    LoadAddress = address;
    StepAllLanes(position, width);

    HexRecord result;
    result.blockType = blockType[0];
    result.blockLength = blockLength[0];
    result.addressLength = width;
    result.loadAddress = address;

    if (result.blockType == kBlockTypeData) {
        // The characters behind the "%" in front of the data are L, T, the checksum, N and
        // the address: 6 + N. L and N are equal in all lanes, so a count that is odd or
        // negative is a fault of every lane; it is reported against .X0.
        const int dataCharacters = static_cast<int>(blockLength[0]) - 6 - static_cast<int>(width);
        if (dataCharacters < 0 || dataCharacters % 2 != 0) {
            FormatError(cleanup, "ERROR: Something Wrong With Data Value In .X0 File\n");
        }
        size_t contentEnd[kLanes];
        for (int lane = 0; lane < kLanes; ++lane) {
            contentEnd[lane] = ContentLength(lane);
        }
        const int words = dataCharacters / 2;
        result.words.reserve(static_cast<size_t>(words));
        for (int i = 0; i < words; ++i) {
            uint32_t word = 0;
            for (int lane = kLanes - 1; lane >= 0; --lane) {
                // A byte cut short by the line end (or the 98-character read) is refused
                // rather than taken as a half byte.
                uint32_t byte = 0;
                if (position[lane] + 2 > contentEnd[lane] ||
                    !ReadHexField(lane, position[lane], 2, &byte)) {
                    FormatError(cleanup, "ERROR: Something Wrong With Data Value In .X%d File\n",
                                lane);
                }
                word |= byte << (8 * lane);
            }
            result.words.push_back(word);
            StepAllLanes(position, 2);
        }
    }

    if (result.blockType == kBlockTypeTermination) {
        TerminationSeen = true;
    }
    *record = std::move(result);
    return true;
}

void ResetHexReader() {
    LoadAddress = 0;
    TerminationSeen = false;
    memset(LineBuffer, 0, sizeof(LineBuffer));
}
