#include "support/lanes.h"

#include <cstdio>

#include "support/files.h"

std::string Hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

LaneTexts SameInAllLanes(const std::string& text) {
    return {text, text, text, text};
}

LaneTexts WorkedExample(const char* lineEnd) {
    const std::string end = lineEnd;
    const std::string termination = "%0E81F800001000" + end;
    return {"%1263080000100078F0" + end + termination, "%1263880000100056DE" + end + termination,
            "%1263080000100034BC" + end + termination, "%12628800001000129A" + end + termination};
}

LaneTexts ProgramLanes(const std::vector<TestRecord>& records, int64_t entry) {
    LaneTexts lanes;
    for (int lane = 0; lane < 4; ++lane) {
        for (const TestRecord& record : records) {
            std::string line = "%" + Hex(14 + 2 * record.words.size(), 2) + "6" + "00" + "8" +
                               Hex(record.address, 8);
            for (uint32_t word : record.words) {
                line += Hex((word >> (8 * lane)) & 0xFF, 2);
            }
            lanes[lane] += line + "\n";
        }
        if (entry >= 0) {
            lanes[lane] += "%0E8008" + Hex(static_cast<uint32_t>(entry), 8) + "\n";
        }
    }
    return lanes;
}

void WriteLanes(const std::string& base, const LaneTexts& lanes) {
    for (int lane = 0; lane < 4; ++lane) {
        WriteTextFile(base + ".X" + std::to_string(lane), lanes[lane]);
    }
}

void WriteWorkedExample(const std::string& base) {
    WriteLanes(base, WorkedExample());
}
