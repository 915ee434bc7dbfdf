// Shared set-up of the RAM loader and driver tests: a temporary folder that is the current
// folder and holds the settings file and lane files, and the whole program run in-process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "hexreader/hexreader.h"
#include "link/link.h"
#include "ramloader/ram_protocol.h"
#include "ramloader/tavram.h"
#include "support/files.h"
#include "support/lanes.h"

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
        ASSERT_FALSE(folder_.Path().empty());
        folder_.Enter();
    }

    void TearDown() override { RestoreStdin(); }

    std::string Path(const std::string& name) const { return folder_.Path(name); }
    std::string SettingsFile() const { return Path("tavram.SET"); }

    void WriteFile(const std::string& name, const std::string& text) {
        WriteTextFile(Path(name), text);
    }
    // The file's text, or "<missing>".
    std::string ReadFile(const std::string& name) const { return ReadTextFile(Path(name)); }

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
        return FakeRunMain(TavramMain, words, &output);
    }

    TempFolder folder_{"tavramtest"};
    std::string output;
    int savedStdin_ = -1;
};
