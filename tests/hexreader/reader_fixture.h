// Shared set-up of the reader tests: four lane files written into a temporary folder and
// opened as the drivers open them, and the reader run with its exit captured.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>

#include "fake/fake_platform.h"
#include "hexreader/hexreader.h"
#include "link/link.h"

using LaneTexts = std::array<std::string, 4>;

inline LaneTexts SameInAllLanes(const std::string& text) {
    return {text, text, text, text};
}

// The worked example: two words at 0x1000, then the termination record with entry 0x1000.
inline LaneTexts WorkedExample(const char* lineEnd = "\n") {
    const std::string end = lineEnd;
    const std::string termination = "%0E81F800001000" + end;
    return {"%1263080000100078F0" + end + termination, "%1263880000100056DE" + end + termination,
            "%1263080000100034BC" + end + termination, "%12628800001000129A" + end + termination};
}

class HexReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeReset();
        // ExitLoader drops flow control and RTS, which needs an open port.
        OpenComPort(1, kBaudHigh);
        char folder[] = "/tmp/hexreaderXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
    }

    void TearDown() override {
        CloseLanes();
        for (int lane = 0; lane < 4; ++lane) {
            unlink(LanePath(lane).c_str());
        }
        rmdir(folder_.c_str());
    }

    std::string LanePath(int lane) const { return folder_ + "/PROG.X" + std::to_string(lane); }

    void OpenLanes(const LaneTexts& texts) {
        CloseLanes();
        for (int lane = 0; lane < 4; ++lane) {
            FILE* out = fopen(LanePath(lane).c_str(), "wb");
            ASSERT_NE(out, nullptr);
            fwrite(texts[lane].data(), 1, texts[lane].size(), out);
            fclose(out);
            lanes_[lane] = fopen(LanePath(lane).c_str(), "rb");
            ASSERT_NE(lanes_[lane], nullptr);
        }
    }

    void CloseLanes() {
        for (FILE*& lane : lanes_) {
            if (lane != nullptr) {
                fclose(lane);
                lane = nullptr;
            }
        }
    }

    // One call that must give a record.
    HexRecord Read() {
        HexRecord record;
        std::string output;
        bool got = false;
        int code =
            FakeRunCapturing([&] { got = ReadHexRecord(lanes_, &record, nullptr); }, &output);
        EXPECT_EQ(code, -1) << output;
        EXPECT_TRUE(got);
        EXPECT_EQ(output, "");
        return record;
    }

    // One call that must give the end indication.
    void ExpectEnd() {
        HexRecord record;
        std::string output;
        bool got = true;
        int code =
            FakeRunCapturing([&] { got = ReadHexRecord(lanes_, &record, nullptr); }, &output);
        EXPECT_EQ(code, -1) << output;
        EXPECT_FALSE(got);
        EXPECT_EQ(output, "");
    }

    // Reads records until the reader ends the process; gives what it printed. The exit code
    // must be 2.
    std::string FailureMessage(CleanupStep cleanup = nullptr) {
        HexRecord record;
        std::string output;
        int code = FakeRunCapturing(
            [&] {
                for (int i = 0; i < 100 && ReadHexRecord(lanes_, &record, cleanup); ++i) {
                }
            },
            &output);
        EXPECT_EQ(code, 2) << "the reader did not end the process";
        return output;
    }

    FILE* lanes_[4] = {nullptr, nullptr, nullptr, nullptr};
    std::string folder_;
};
