// Timing of the board's output on its way to the host, kept apart from any clock so it can
// be driven by a virtual one: the receive buffer of a USB serial adapter, and how late the
// simulator handed bytes over compared with when they were due.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

// A USB adapter hands received bytes to the host in packets: when its latency timer runs out
// (counted from the first byte waiting) or when a packet's worth of bytes is waiting.
constexpr size_t kAdapterPacketBytes = 62;

struct TimedByte {
    uint8_t byte;
    uint64_t atUs;
};

struct AdapterBuffer {
    uint64_t latencyUs = 0;      // 0: every byte goes on as soon as it has arrived
    std::deque<TimedByte> held;  // at: when it was fully received from the line
    // The first bytes held form a packet that is due but that the host has not all taken.
    size_t dueCount = 0;
    uint64_t dueAtUs = 0;
};

// A byte off the line at `arrivedUs` (never earlier than the byte before it).
void AdapterAdd(AdapterBuffer* adapter, uint8_t byte, uint64_t arrivedUs);
// When the bytes held now are due at the host; kNoLimit (platform/clock.h) when none is held.
uint64_t AdapterDueUs(const AdapterBuffer& adapter);
// Moves up to `room` bytes of the packet that is due at `nowUs`, if one is, to `out`, each
// with the time the packet was due. Returns how many moved.
size_t AdapterRelease(AdapterBuffer* adapter, uint64_t nowUs, size_t room,
                      std::vector<TimedByte>* out);
// The host purged its input: what the adapter holds is gone too.
void AdapterClear(AdapterBuffer* adapter);

// How far deliveries were from their deadlines, in microseconds.
struct LatenessStats {
    uint64_t count = 0;
    uint64_t sumUs = 0;
    uint64_t maxUs = 0;
    std::vector<uint64_t> histogram;  // one bucket per microsecond, the last for all beyond
};

void LatenessAdd(LatenessStats* stats, uint64_t dueUs, uint64_t deliveredUs);
// The smallest lateness that `share` (0 to 1) of the deliveries did not exceed.
uint64_t LatenessQuantileUs(const LatenessStats& stats, double share);
double LatenessMeanUs(const LatenessStats& stats);

// How long before a deadline a sleep should end so that the wake-up, which the system makes
// late by some tens of microseconds on a virtual machine, still comes before it; the rest is
// spent watching the clock. Tracks the 90th percentile of the sleeps' overshoot.
struct WakeMargin {
    uint64_t us = 50;
};

void WakeMarginLearn(WakeMargin* margin, uint64_t overshootUs);
