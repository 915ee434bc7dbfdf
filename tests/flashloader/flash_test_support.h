// Helpers of the flash loader tests: a scratch folder with lane files, and a scripted
// target that answers each byte the host writes with a fixed reply.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake/fake_platform.h"

// Gives the process's time zone back when the object goes, whatever a test set meanwhile.
class TimeZoneScope {
  public:
    TimeZoneScope() {
        const char* old = getenv("TZ");
        hadZone_ = old != nullptr;
        if (hadZone_) {
            oldZone_ = old;
        }
    }
    ~TimeZoneScope() {
        if (hadZone_) {
            setenv("TZ", oldZone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    void Set(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

  private:
    bool hadZone_ = false;
    std::string oldZone_;
};

// A fresh folder that is the current folder while the object lives.
class ScratchFolder {
  public:
    ScratchFolder() {
        char pattern[] = "/tmp/tavfla_test_XXXXXX";
        path_ = mkdtemp(pattern);
        char old[4096];
        oldCwd_ = getcwd(old, sizeof old);
        if (chdir(path_.c_str()) != 0) {
            abort();
        }
    }
    ~ScratchFolder() {
        if (chdir(oldCwd_.c_str()) != 0) {
            abort();
        }
        std::string command = "rm -rf '" + path_ + "'";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
    }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
    std::string oldCwd_;
};

inline void WriteTextFile(const std::string& name, const std::string& text) {
    FILE* file = fopen(name.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
}

inline std::string ReadTextFile(const std::string& name) {
    std::string text;
    FILE* file = fopen(name.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    char buffer[512];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    fclose(file);
    return text;
}

// The four lanes of a program, one text per lane.
inline void WriteLanes(const std::string& base, const std::string (&lanes)[4]) {
    for (int k = 0; k < 4; ++k) {
        WriteTextFile(base + ".X" + std::to_string(k), lanes[k]);
    }
}

// One data record of two words 12345678 and 9ABCDEF0 at 0x1000, then the entry 0x1000.
inline void WriteWorkedExample(const std::string& base) {
    const std::string end = "%0E81F800001000\n";
    WriteLanes(base, {"%1263080000100078F0\n" + end, "%1263880000100056DE\n" + end,
                      "%1263080000100034BC\n" + end, "%12628800001000129A\n" + end});
}

using Bytes = std::vector<uint8_t>;

// Expected host byte -> the target's reply to it, in order.
struct ScriptStep {
    uint8_t expect;
    Bytes reply;
};
using Script = std::vector<ScriptStep>;

// Each byte comes back as its echo; the last byte's reply then carries `trailer`.
inline void AppendEchoed(Script* script, const Bytes& bytes, const Bytes& trailer = {}) {
    for (uint8_t byte : bytes) {
        script->push_back({byte, {byte}});
    }
    if (!bytes.empty()) {
        Bytes& last = script->back().reply;
        last.insert(last.end(), trailer.begin(), trailer.end());
    }
}

inline Bytes HostBytes(const Script& script) {
    Bytes bytes;
    for (const ScriptStep& step : script) {
        bytes.push_back(step.expect);
    }
    return bytes;
}

// Plays the script; a host byte out of order gets no reply, so the host meets a time-out,
// and the test sees the difference in the written bytes.
inline void InstallScript(const Script& script) {
    auto next = std::make_shared<size_t>(0);
    FakeSetResponder([script, next](uint8_t written, std::vector<uint8_t>& reply) {
        if (*next < script.size() && script[*next].expect == written) {
            const Bytes& answer = script[(*next)++].reply;
            reply.insert(reply.end(), answer.begin(), answer.end());
        } else {
            *next = script.size();
        }
    });
}

inline bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Local time 5 March 2001 14:07:09 when TZ=UTC.
constexpr time_t kWorkedExampleTime = 983801229;
