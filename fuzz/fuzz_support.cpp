#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include "fake/fake_platform.h"
#include "hexreader/hexreader.h"
#include "link/link.h"

int RunCatchingExit(const std::function<void()>& body) {
    try {
        body();
    } catch (const ProcessExit& exit) {
        return exit.code;
    }
    return -1;
}

void SilenceConsole() {
    if (freopen("/dev/null", "w", stdout) == nullptr ||
        freopen("/dev/null", "r", stdin) == nullptr) {
        abort();
    }
}

void StartConnectedLine(Responder responder) {
    FakeReset();
    FakeSetResponder(std::move(responder));
    OpenComPort(1, kBaudHigh);
    EnableAuto_RTS_CTS(1);
    FakeClearWrittenBytes();
}

void ExpectLineReleased() {
    Expect(!FakeCtsFlowOn(), "flow control is off at the exit");
    Expect(!FakeRtsOn(), "RTS is low at the exit");
}

void MemoryLanes::Open() {
    for (int lane = 0; lane < 4; ++lane) {
        // An empty buffer cannot be a memory stream; an empty file stands in for it.
        files[lane] = texts[lane].empty() ? fopen("/dev/null", "rb")
                                          : fmemopen(&texts[lane][0], texts[lane].size(), "rb");
        Expect(files[lane] != nullptr, "lane stream opens");
    }
}

void MemoryLanes::Close() {
    for (FILE*& file : files) {
        if (file != nullptr) {
            fclose(file);
            file = nullptr;
        }
    }
}

TestRecord DecodeDataPacket(const std::vector<uint8_t>& p) {
    TestRecord record{uint32_t{p[4]} << 16 | uint32_t{p[5]} << 8 | p[6], {}};
    for (size_t i = 7; i + 3 < p.size(); i += 4) {
        record.words.push_back(uint32_t{p[i]} << 24 | uint32_t{p[i + 1]} << 16 |
                               uint32_t{p[i + 2]} << 8 | p[i + 3]);
    }
    return record;
}

void ExpectRecordsTaken(const std::vector<TestRecord>& taken, const std::vector<TestRecord>& sent) {
    Expect(taken.size() == sent.size(), "every record went out");
    for (size_t i = 0; i < sent.size(); ++i) {
        Expect(taken[i].address == (sent[i].address & 0xFFFFFF) && taken[i].words == sent[i].words,
               "every record went out as it was");
    }
}

void TakeProgram(FuzzedDataProvider* input, FuzzLoad* load) {
    const size_t records = input->ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t r = 0; r < records; ++r) {
        // An intact program keeps every word within the 24-bit addresses the reader takes.
        const size_t words = input->ConsumeIntegralInRange<size_t>(0, 41);
        const uint32_t last = kTopAddress + 1 - static_cast<uint32_t>(words > 0 ? words : 1);
        TestRecord record{input->ConsumeIntegralInRange<uint32_t>(0, last), {}};
        for (size_t w = 0; w < words; ++w) {
            record.words.push_back(input->ConsumeIntegral<uint32_t>());
        }
        load->records.push_back(record);
    }
    load->lanes.texts =
        ProgramLanes(load->records, input->ConsumeIntegralInRange<uint32_t>(0, kTopAddress));

    const int damage = input->ConsumeIntegralInRange<int>(0, 3);
    std::string& lane = load->lanes.texts[input->ConsumeIntegralInRange<int>(0, 3)];
    if (damage == 1) {
        // Cut after a whole line or inside one, at the latest in front of the termination
        // record's address length (lanes 1 to 3 have their address digits skipped).
        const size_t termination = lane.rfind('%');
        lane.resize(input->ConsumeIntegralInRange<size_t>(0, termination + 6));
        load->truncated = true;
    } else if (damage == 2 && !lane.empty()) {
        const size_t at = input->ConsumeIntegralInRange<size_t>(0, lane.size() - 1);
        const char by = static_cast<char>(input->ConsumeIntegral<uint8_t>());
        load->altered = lane[at] != by;
        lane[at] = by;
    }
    load->lanes.Open();
}
