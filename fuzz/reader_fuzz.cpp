// The four-lane reader on arbitrary lane texts (the input's four parts, split at NUL
// bytes), run as the drivers run it. Properties: a format error ends the process only with
// code 2, after its clean-up step and with the line released; the reader gives records that
// agree with their fields; and the only way its records end is the termination record.
#include <cstring>

#include "driver/packet.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "hexreader/hexreader.h"
#include "link/link.h"

namespace {

int CleanupRuns = 0;
void CountCleanup() {
    ++CleanupRuns;
}

void SplitLanes(const uint8_t* data, size_t size, MemoryLanes* lanes) {
    int lane = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && lane < 3) {
            ++lane;
        } else {
            lanes->texts[lane] += static_cast<char>(data[i]);
        }
    }
}

void ExpectRecordAgrees(const HexRecord& record) {
    Expect(record.blockType == kBlockTypeData || record.blockType == kBlockTypeTermination,
           "block type is 6 or 8");
    Expect(record.addressLength == 4 || record.addressLength == 6 || record.addressLength == 8,
           "address length is 4, 6 or 8");
    Expect(record.blockLength <= 0xFF, "block length has two digits");
    if (record.blockType == kBlockTypeData) {
        Expect(record.blockLength == 6 + record.addressLength + 2 * record.words.size(),
               "word count follows the block length");
    } else {
        Expect(record.words.empty(), "termination record has no words");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryLanes lanes;
    SplitLanes(data, size, &lanes);
    lanes.Open();
    StartConnectedLine([](uint8_t, std::vector<uint8_t>&) {});
    CleanupRuns = 0;
    CleanupDue = CountCleanup;
    bool terminated = false;
    bool ended = false;
    const int code = RunCatchingExit([&] {
        HexRecord record;
        // Every call consumes a line of each lane, so the records are bounded by the input.
        while (!terminated) {
            if (!ReadRecordOrExit(lanes.files, &record)) {
                ended = true;
                return;
            }
            ExpectRecordAgrees(record);
            terminated = record.blockType == kBlockTypeTermination;
        }
    });
    if (code == -1) {
        Expect(terminated && !ended, "records end only with the termination record");
    } else {
        Expect(code == 2, "a format error ends with code 2");
        Expect(CleanupRuns == 1, "the clean-up step ran once before the exit");
        ExpectLineReleased();
    }
    return 0;
}
