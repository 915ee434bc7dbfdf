// Shared parts of the fuzz targets: the fake platform with the process exit caught, lane
// texts in memory, and property checks that stop the fuzzer with a reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "support/lanes.h"

// Stops the run (the fuzzer keeps the input) when a property does not hold.
inline void Expect(bool holds, const char* property) {
    if (!holds) {
        fprintf(stderr, "property does not hold: %s\n", property);
        abort();
    }
}

// Runs `body`; gives the exit code it ended the process with, or -1 when it returned.
int RunCatchingExit(const std::function<void()>& body);

// Standard output (the product's messages) goes nowhere, standard input is empty.
void SilenceConsole();

// A fresh fake platform with an open port and RTS/CTS flow control on, as the connection
// leaves it; `responder` answers the bytes the host writes.
using Responder = std::function<void(uint8_t written, std::vector<uint8_t>& reply)>;
void StartConnectedLine(Responder responder);

// After an exit once the port is open: flow control off and RTS low.
void ExpectLineReleased();

// Four lane files held in memory, opened as streams; closed by Close.
struct MemoryLanes {
    FILE* files[4] = {nullptr, nullptr, nullptr, nullptr};
    LaneTexts texts;
    void Open();
    void Close();
    ~MemoryLanes() { Close(); }
};

// A data packet as the board takes it: three address bytes at 4, words (lane 3 byte
// first) from 7.
TestRecord DecodeDataPacket(const std::vector<uint8_t>& packet);
// The board took exactly the program's records (24-bit addresses), in order.
void ExpectRecordsTaken(const std::vector<TestRecord>& taken, const std::vector<TestRecord>& sent);

class FuzzedDataProvider;

// A program taken from the fuzz input, written into the lanes, then perhaps damaged: a lane
// cut before its termination record (`truncated`: the download must fail), or one
// character replaced (`altered`: the reader decides).
struct FuzzLoad {
    std::vector<TestRecord> records;  // at most 41 words each (one 98-character line)
    MemoryLanes lanes;
    bool truncated = false;
    bool altered = false;
};
void TakeProgram(FuzzedDataProvider* input, FuzzLoad* load);
