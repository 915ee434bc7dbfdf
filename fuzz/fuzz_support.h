// Shared parts of the fuzz targets: the fake platform with the process exit caught, lane
// texts in memory, and property checks that stop the fuzzer with a reason.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Stops the run (the fuzzer keeps the input) when a property does not hold.
void Expect(bool holds, const char* property);

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
    std::string texts[4];
    void Open();
    void Close();
    ~MemoryLanes() { Close(); }
};

// A program of data records and its termination record, as the lanes hold it.
struct FuzzRecord {
    uint32_t address;
    std::vector<uint32_t> words;  // at most 41 per record (one 98-character line)
};
struct FuzzProgram {
    std::vector<FuzzRecord> records;
    uint32_t entry = 0;
};
// The lane texts of the program with 8-digit addresses (termination record included).
void WriteProgramLanes(const FuzzProgram& program, std::string texts[4]);

class FuzzedDataProvider;

// A program taken from the fuzz input, written into the lanes, then perhaps damaged: a lane
// cut before its termination record (`truncated`: the download must fail), or one
// character replaced (`altered`: the reader decides).
struct FuzzLoad {
    FuzzProgram program;
    MemoryLanes lanes;
    bool truncated = false;
    bool altered = false;
};
void TakeProgram(FuzzedDataProvider* input, FuzzLoad* load);
