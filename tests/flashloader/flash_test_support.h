// Helpers of the flash loader tests: a scratch folder for lane files, and a scripted target
// that answers each byte the host writes with a fixed reply.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake/fake_platform.h"
#include "support/files.h"
#include "support/lanes.h"

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
class ScratchFolder : public TempFolder {
  public:
    ScratchFolder() : TempFolder("tavfla_test_") { Enter(); }
};

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
