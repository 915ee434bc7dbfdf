// Reader of the four byte-lane Extended Tektronix Hex files of a program. It only parses:
// a format error goes back to the caller, which prints it and ends the run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int kLaneCount = 4;  // lane k holds byte k of every 32-bit word
constexpr unsigned kBlockTypeData = 6;
constexpr unsigned kBlockTypeTermination = 8;
constexpr uint32_t kTopAddress = 0xFFFFFF;  // packets carry 24-bit word addresses

// One record of the four lanes joined.
struct HexRecord {
    unsigned blockType = 0;       // 6 data, 8 termination
    unsigned blockLength = 0;     // L of lane 0
    unsigned addressLength = 0;   // N: 4, 6 or 8
    uint32_t loadAddress = 0;     // lane 0's address; the entry address for a termination record
    std::vector<uint32_t> words;  // data record: lane 3 byte most significant
};

// A format error of the lane files.
struct ReaderError {
    std::string message;  // as printed, line end included
};

enum class ReadResult {
    Record,  // *record holds the next record
    End,     // the lane files ended after the termination record
    Error,   // *error holds the format error; *record is left as it was
};

// Reads one record from each of the four lane files (lane order). A lane that ends or fails
// to read before the termination record has been read is a format error, and so is a word
// or entry address above kTopAddress.
ReadResult ReadHexRecord(FILE* lanes[kLaneCount], HexRecord* record, ReaderError* error);

// White space as a formatted input conversion skips it (the C locale's six characters).
inline bool IsWhiteSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Forgets the termination record read: before the files are read again from their start,
// and for in-process tests.
void ResetHexReader();
