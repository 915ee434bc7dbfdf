// Shared set-up of the reader tests: four lane files written into a temporary folder and
// opened as the drivers open them, and the reader called as they call it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "hexreader/hexreader.h"
#include "support/files.h"
#include "support/lanes.h"

class HexReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetHexReader();
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

    // Reads records until the reader gives a format error; gives its message.
    std::string FailureMessage() {
        HexRecord record;
        ReaderError error;
        for (int i = 0; i < 100; ++i) {
            const ReadResult read = ReadHexRecord(lanes_, &record, &error);
            if (read != ReadResult::Record) {
                EXPECT_EQ(read, ReadResult::Error) << "the lanes ended without an error";
                return error.message;
            }
        }
        ADD_FAILURE() << "no error in 100 records";
        return "";
    }

    FILE* lanes_[kLaneCount] = {nullptr, nullptr, nullptr, nullptr};
    TempFolder folder_{"hexreader"};
};
