// Lane files of the tests: the four texts of a program, the worked example and writing
// them as NAME.X0 .. NAME.X3.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

using LaneTexts = std::array<std::string, 4>;

// One data record: load address and words (lane 3 byte most significant).
struct TestRecord {
    uint32_t address;
    std::vector<uint32_t> words;
};

// Upper-case hex with at least `digits` digits.
std::string Hex(uint32_t value, int digits);

LaneTexts SameInAllLanes(const std::string& text);

// Two words 12345678 and 9ABCDEF0 at 0x1000, then the termination record with entry 0x1000.
LaneTexts WorkedExample(const char* lineEnd = "\n");

// Data records with 8-digit addresses, then the termination record with the entry address
// (none when `entry` is negative).
LaneTexts ProgramLanes(const std::vector<TestRecord>& records, int64_t entry);

// Writes base + ".X0" .. base + ".X3".
void WriteLanes(const std::string& base, const LaneTexts& lanes);
void WriteWorkedExample(const std::string& base);
