// The one monotonic clock of the OS layer and the simulated board, and deadlines on it.
// "No limit" is spelled kNoLimit everywhere: as a time-out and as a deadline.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>

constexpr uint64_t kNoLimit = UINT64_MAX;

inline uint64_t MonotonicUs() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

inline uint64_t MonotonicMs() {
    return MonotonicUs() / 1000;
}

// A point on the millisecond clock to wait until; kNoLimit never comes.
struct Deadline {
    uint64_t atMs = kNoLimit;
};

// timeoutMs from now; a time-out of kNoLimit gives a deadline that never comes.
inline Deadline DeadlineIn(uint64_t timeoutMs) {
    return Deadline{timeoutMs == kNoLimit ? kNoLimit : MonotonicMs() + timeoutMs};
}

inline bool DeadlinePassed(const Deadline& d) {
    return d.atMs != kNoLimit && MonotonicMs() >= d.atMs;
}

// What is left, for poll(): -1 for no limit, 0 once passed.
inline int DeadlinePollMs(const Deadline& d) {
    if (d.atMs == kNoLimit) {
        return -1;
    }
    uint64_t now = MonotonicMs();
    uint64_t left = d.atMs > now ? d.atMs - now : 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}
