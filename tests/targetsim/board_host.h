// A minimal host for driving the board model directly with a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "targetsim/board.h"

using Bytes = std::vector<uint8_t>;

struct TestHost {
    explicit TestHost(const BoardOptions& options = BoardOptions())
        : options(options), board(BoardCreate(options)) {}
    ~TestHost() { BoardDestroy(board); }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // The loader's reset: a short RTS pulse, then the handshake drives RTS on again.
    void PulseRts() {
        BoardSetRts(board, true, now);
        BoardSetRts(board, false, now);
        BoardSetRts(board, true, now);
    }

    // Advances the clock in 1 ms steps until CTS is on; false when it stays off for limitUs.
    bool WaitCts(uint64_t limitUs = 10000000) {
        for (const uint64_t end = now + limitUs; now <= end; now += 1000) {
            if (BoardCts(board, now)) {
                return true;
            }
        }
        return false;
    }

    void Send(const Bytes& bytes) {
        for (uint8_t b : bytes) {
            BoardReceiveByte(board, b, now);
        }
    }

    // Everything the board has queued, waiting for each byte as long as it takes.
    Bytes ReadAll() {
        Bytes out;
        uint8_t byte = 0;
        uint64_t readyAt = 0;
        while (BoardPeekOutput(board, &byte, &readyAt)) {
            now = std::max(now, readyAt);
            out.push_back(byte);
            BoardPopOutput(board);
        }
        return out;
    }

    Bytes Exchange(const Bytes& bytes) {
        Send(bytes);
        return ReadAll();
    }

    // Reset and sync with this byte at the board's rate, as a connecting loader does.
    void Connect(uint8_t sync) {
        BoardSetHostBaud(board, options.baud, now);
        PulseRts();
        ASSERT_TRUE(WaitCts());
        ASSERT_EQ(Exchange({sync, sync}), Bytes{sync});
    }

    bool Logged(const std::string& text) const {
        for (const std::string& line : BoardLog(board)) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    BoardOptions options;
    Board* board;
    uint64_t now = 0;
};
