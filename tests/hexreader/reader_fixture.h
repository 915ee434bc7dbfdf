// Shared set-up of the reader tests: four lane files written into a temporary folder and
// opened as the drivers open them, and the reader run as the drivers run it (a format error
// printed and the process ended), with its exit captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "driver/packet.h"
#include "fake/fake_platform.h"
#include "hexreader/hexreader.h"
#include "hexreader/hexreader_testing.h"
#include "link/link.h"
#include "support/files.h"
#include "support/lanes.h"

class HexReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeReset();
        // ExitLoader drops flow control and RTS, which needs an open port.
        OpenComPort(1, kBaudHigh);
        ASSERT_FALSE(folder_.Path().empty());
    }

    void TearDown() override { CloseLanes(); }

    std::string LanePath(int lane) const { return folder_.Path("PROG.X" + std::to_string(lane)); }

    void OpenLanes(const LaneTexts& texts) {
        CloseLanes();
        WriteLanes(folder_.Path("PROG"), texts);
        for (int lane = 0; lane < kLaneCount; ++lane) {
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
        ReaderError error;
        EXPECT_EQ(ReadHexRecord(lanes_, &record, &error), ReadResult::Record) << error.message;
        return record;
    }

    // One call that must give the end indication.
    void ExpectEnd() {
        HexRecord record;
        ReaderError error;
        EXPECT_EQ(ReadHexRecord(lanes_, &record, &error), ReadResult::End) << error.message;
    }

    // Reads records until the reader ends the process; gives what it printed. The exit code
    // must be 2.
    std::string FailureMessage(void (*cleanup)() = nullptr) {
        HexRecord record;
        std::string output;
        CleanupDue = cleanup;
        int code = FakeRunCapturing(
            [&] {
                for (int i = 0; i < 100 && ReadRecordOrExit(lanes_, &record); ++i) {
                }
            },
            &output);
        EXPECT_EQ(code, 2) << "the reader did not end the process";
        return output;
    }

    FILE* lanes_[kLaneCount] = {nullptr, nullptr, nullptr, nullptr};
    TempFolder folder_{"hexreader"};
};
