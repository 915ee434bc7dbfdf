// Reader of the four byte-lane Extended Tektronix Hex files of a program.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

constexpr unsigned kBlockTypeData = 6;
constexpr unsigned kBlockTypeTermination = 8;

// One record of the four lanes joined.
struct HexRecord {
    unsigned blockType = 0;       // 6 data, 8 termination
    unsigned blockLength = 0;     // L of lane 0
    unsigned addressLength = 0;   // N: 4, 6 or 8
    uint32_t loadAddress = 0;     // lane 0's address; the entry address for a termination record
    std::vector<uint32_t> words;  // data record: lane 3 byte most significant
};

// Load address of the last record read; after the termination record the entry address.
extern uint32_t LoadAddress;

// Run before the reader ends the process on a format error (may be null).
typedef void (*CleanupStep)();

// Reads one record from each of the four lane files (lane order). Returns false only when
// the lane files end after the termination record. A format error (a lane that ends or
// fails to read before the termination record among them) prints its message, runs
// `cleanup` and ends the process through ExitLoader(2).
bool ReadHexRecord(FILE* lanes[4], HexRecord* record, CleanupStep cleanup);

// Puts the reader's state back as at process start (for in-process tests).
void ResetHexReader();
