#include "support/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

TempFolder::TempFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        ADD_FAILURE() << "cannot make " << pattern << ": " << strerror(errno);
        return;
    }
    path_ = pattern;
}

TempFolder::~TempFolder() {
    if (!oldCwd_.empty()) {
        std::filesystem::current_path(oldCwd_);
    }
    if (!path_.empty() && !keep_) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

void TempFolder::Enter() {
    if (oldCwd_.empty()) {
        oldCwd_ = std::filesystem::current_path().string();
    }
    std::filesystem::current_path(path_);
}

void WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "<missing>";
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
