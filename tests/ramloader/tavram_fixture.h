// Shared set-up of the RAM loader tests: a temporary folder that is the current folder and
// holds the settings file and lane files, and the whole program run in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "hexreader/hexreader.h"
#include "link/link.h"
#include "ramloader/ram_protocol.h"
#include "ramloader/tavram.h"

// One data record: load address and words (lane 3 byte most significant).
struct TestRecord {
    uint32_t address;
    std::vector<uint32_t> words;
};

inline std::string Hex(uint32_t value, int digits) {
    char text[16];
    snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// The four lane texts of a program: data records with 8-digit addresses, then the
// termination record with the entry address (none when `entry` is negative).
inline std::vector<std::string> LaneTexts(const std::vector<TestRecord>& records, int64_t entry) {
    std::vector<std::string> lanes(4);
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

// The worked example: two words at 0x1000, then the termination record with entry 0x1000.
inline std::vector<std::string> WorkedExampleLanes() {
    const std::string termination = "%0E81F800001000\n";
    return {"%1263080000100078F0\n" + termination, "%1263880000100056DE\n" + termination,
            "%1263080000100034BC\n" + termination, "%12628800001000129A\n" + termination};
}

// The banner line every run starts with.
inline std::string Banner() {
    return "\nVeltara C3x DSP Family Speed RAM-Loader For WIN-NT/2000 V 3.0 "
           "(C) 2026 The Tavloader Developers\n\n";
}

class RamLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeReset();
        ResetDriverState();
        ResetRamProtocol();
        char folder[] = "/tmp/tavramtestXXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        oldFolder_ = std::filesystem::current_path();
        std::filesystem::current_path(folder_);
    }

    void TearDown() override {
        RestoreStdin();
        std::filesystem::current_path(oldFolder_);
        std::filesystem::remove_all(folder_);
    }

    std::string Path(const std::string& name) const { return folder_ + "/" + name; }
    std::string SettingsFile() const { return Path("tavram.SET"); }

    void WriteFile(const std::string& name, const std::string& text) {
        std::ofstream out(Path(name), std::ios::binary);
        out << text;
    }

    // The file's text, or "<missing>".
    std::string ReadFile(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        if (!in) {
            return "<missing>";
        }
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void WriteLanes(const std::string& base, const std::vector<std::string>& lanes) {
        for (int lane = 0; lane < 4; ++lane) {
            WriteFile(base + ".X" + std::to_string(lane), lanes[lane]);
        }
    }

    // Standard input reads this text (empty: it ends at once) until the test ends.
    void SetStdin(const std::string& text) {
        WriteFile("stdin.txt", text);
        fflush(stdin);
        if (savedStdin_ < 0) {
            savedStdin_ = dup(0);
        }
        ASSERT_NE(freopen(Path("stdin.txt").c_str(), "r", stdin), nullptr);
    }

    void RestoreStdin() {
        if (savedStdin_ >= 0) {
            dup2(savedStdin_, 0);
            close(savedStdin_);
            savedStdin_ = -1;
            clearerr(stdin);
        }
    }

    // The whole program with these arguments, started as "<folder>/tavram".
    int RunTavram(const std::vector<std::string>& args) {
        std::vector<std::string> words = {Path("tavram")};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        return FakeRunCapturing([&] { TavramMain(static_cast<int>(words.size()), argv.data()); },
                                &output);
    }

    std::string folder_;
    std::filesystem::path oldFolder_;
    std::string output;
    int savedStdin_ = -1;
};
