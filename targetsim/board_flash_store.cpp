// The simulated flash kept in a folder: one text file per stored program, so stored programs
// outlive the process. File names carry the program name in hex (names may hold '\' or '/').
//
// File layout, one item per line:
//   name <program name in hex>
//   stamp <seven decimal values>
//   entry <entry address in hex>
//   seq <store order>
//   <address in hex> <word in hex>      (one line per word)
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "targetsim/board_internal.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "prog_";
constexpr const char* kSuffix = ".txt";
constexpr size_t kMaxHexName = 100;  // longer names use a hash, keeping file names short

std::string Hex(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

bool Unhex(const std::string& hex, std::string* text) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    text->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        if (sscanf(hex.substr(i, 2).c_str(), "%2x", &value) != 1) {
            return false;
        }
        text->push_back(static_cast<char>(value));
    }
    return true;
}

struct LoadedProgram {
    StoredProgram program;
    uint64_t seq = 0;
};

bool ParseProgram(const fs::path& path, LoadedProgram* loaded) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    bool haveName = false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        if (!(fields >> key)) {
            continue;
        }
        if (key == "name") {
            std::string hex;
            fields >> hex;
            haveName = Unhex(hex, &loaded->program.name);
        } else if (key == "stamp") {
            for (uint8_t& value : loaded->program.stamp) {
                unsigned v = 0;
                fields >> v;
                value = static_cast<uint8_t>(v);
            }
        } else if (key == "entry") {
            fields >> std::hex >> loaded->program.entryAddress;
        } else if (key == "seq") {
            fields >> loaded->seq;
        } else {
            uint32_t address = 0;
            uint32_t word = 0;
            std::istringstream pair(line);
            if (!(pair >> std::hex >> address >> word)) {
                return false;
            }
            loaded->program.words[address & 0xFFFFFF] = word;
        }
        if (fields.fail()) {
            return false;
        }
    }
    return haveName;
}

}  // namespace

std::string FlashFileName(const std::string& programName) {
    if (programName.size() <= kMaxHexName) {
        return kPrefix + Hex(programName) + kSuffix;
    }
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : programName) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char text[32];
    snprintf(text, sizeof text, "H%016llX", static_cast<unsigned long long>(hash));
    return kPrefix + std::string(text) + kSuffix;
}

void FlashLoadFolder(Board* board) {
    const std::string& folder = board->options.flashFolder;
    if (folder.empty()) {
        return;
    }
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        BoardNote(board, "flash folder %s not usable: %s", folder.c_str(), error.message().c_str());
        return;
    }
    std::vector<LoadedProgram> loaded;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
        const std::string file = entry.path().filename().string();
        if (!entry.is_regular_file() || file.rfind(kPrefix, 0) != 0 || file.size() < 4 ||
            file.compare(file.size() - 4, 4, kSuffix) != 0) {
            continue;
        }
        LoadedProgram program;
        if (ParseProgram(entry.path(), &program)) {
            loaded.push_back(program);
        } else {
            BoardNote(board, "flash file %s unreadable: skipped", file.c_str());
        }
    }
    std::stable_sort(loaded.begin(), loaded.end(),
                     [](const LoadedProgram& a, const LoadedProgram& b) { return a.seq < b.seq; });
    for (const LoadedProgram& p : loaded) {
        board->programs.push_back(p.program);
        board->programSeq.push_back(
            std::max(p.seq, board->programSeq.empty() ? uint64_t{0} : board->programSeq.back()));
    }
    BoardNote(board, "%zu programs in flash folder %s", board->programs.size(), folder.c_str());
}

bool FlashSaveProgram(Board* board, const StoredProgram& program, uint64_t seq) {
    const std::string& folder = board->options.flashFolder;
    if (folder.empty()) {
        return true;
    }
    const fs::path path = fs::path(folder) / FlashFileName(program.name);
    fs::path temp = path;
    temp += ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "name " << Hex(program.name) << "\nstamp";
        for (uint8_t value : program.stamp) {
            out << ' ' << unsigned{value};
        }
        char line[40];
        snprintf(line, sizeof line, "\nentry %06X\nseq ", program.entryAddress);
        out << line << seq << '\n';
        for (const auto& [address, word] : program.words) {
            snprintf(line, sizeof line, "%06X %08X\n", address, word);
            out << line;
        }
        out.flush();
        if (!out) {
            BoardNote(board, "flash file %s not written", temp.string().c_str());
            return false;
        }
    }
    // A whole file or none: a crash never leaves half a program behind.
    std::error_code error;
    fs::rename(temp, path, error);
    if (error) {
        BoardNote(board, "flash file %s not written: %s", path.string().c_str(),
                  error.message().c_str());
        return false;
    }
    return true;
}
