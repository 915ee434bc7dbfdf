// The adapter's receive buffer and the lateness statistics; see line_timing.h.
#include "targetsim/line_timing.h"

#include <algorithm>

#include "platform/clock.h"

namespace {

constexpr size_t kHistogramBuckets = 10001;  // up to 10 ms in 1 us steps, then one for the rest
// Up by 9 when exceeded, down by 1 when not: settles where one sleep in ten overshoots it.
constexpr uint64_t kMarginUp = 9;
constexpr uint64_t kMarginDown = 1;
constexpr uint64_t kMarginMaxUs = 300;  // a wake-up later than this is a stall, not the rule

}  // namespace

void AdapterAdd(AdapterBuffer* adapter, uint8_t byte, uint64_t arrivedUs) {
    adapter->held.push_back({byte, arrivedUs});
}

uint64_t AdapterDueUs(const AdapterBuffer& adapter) {
    if (adapter.dueCount > 0) {
        return adapter.dueAtUs;
    }
    if (adapter.held.empty()) {
        return kNoLimit;
    }
    const uint64_t timerUs = adapter.held.front().atUs + adapter.latencyUs;
    if (adapter.held.size() >= kAdapterPacketBytes) {
        return std::min(timerUs, adapter.held[kAdapterPacketBytes - 1].atUs);
    }
    return timerUs;
}

size_t AdapterRelease(AdapterBuffer* adapter, uint64_t nowUs, size_t room,
                      std::vector<TimedByte>* out) {
    const uint64_t dueUs = AdapterDueUs(*adapter);
    if (dueUs > nowUs) {
        return 0;
    }
    if (adapter->dueCount == 0) {
        // The packet holds what had arrived when it was due, however late we look.
        size_t count = 0;
        while (count < kAdapterPacketBytes && count < adapter->held.size() &&
               adapter->held[count].atUs <= dueUs) {
            ++count;
        }
        adapter->dueCount = count;
        adapter->dueAtUs = dueUs;
    }
    const size_t count = std::min(room, adapter->dueCount);
    for (size_t i = 0; i < count; ++i) {
        out->push_back({adapter->held.front().byte, dueUs});
        adapter->held.pop_front();
    }
    adapter->dueCount -= count;
    return count;
}

void AdapterClear(AdapterBuffer* adapter) {
    adapter->held.clear();
    adapter->dueCount = 0;
}

void LatenessAdd(LatenessStats* stats, uint64_t dueUs, uint64_t deliveredUs) {
    const uint64_t late = deliveredUs > dueUs ? deliveredUs - dueUs : 0;
    if (stats->histogram.empty()) {
        stats->histogram.assign(kHistogramBuckets, 0);
    }
    ++stats->histogram[std::min<uint64_t>(late, kHistogramBuckets - 1)];
    ++stats->count;
    stats->sumUs += late;
    stats->maxUs = std::max(stats->maxUs, late);
}

uint64_t LatenessQuantileUs(const LatenessStats& stats, double share) {
    if (stats.count == 0) {
        return 0;
    }
    const double wanted = share * static_cast<double>(stats.count);
    uint64_t seen = 0;
    for (size_t us = 0; us < stats.histogram.size(); ++us) {
        seen += stats.histogram[us];
        if (static_cast<double>(seen) >= wanted) {
            // The last bucket holds everything beyond it: its true value is the maximum.
            return us + 1 == stats.histogram.size() ? stats.maxUs : us;
        }
    }
    return stats.maxUs;
}

double LatenessMeanUs(const LatenessStats& stats) {
    return stats.count == 0 ? 0.0
                            : static_cast<double>(stats.sumUs) / static_cast<double>(stats.count);
}

void WakeMarginLearn(WakeMargin* margin, uint64_t overshootUs) {
    if (overshootUs > margin->us) {
        margin->us = std::min(margin->us + kMarginUp, kMarginMaxUs);
    } else if (margin->us >= kMarginDown) {
        margin->us -= kMarginDown;
    }
}
