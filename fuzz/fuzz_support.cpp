#include "fuzz_support.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "fake/fake_platform.h"
#include "link/link.h"

void Expect(bool holds, const char* property) {
    if (!holds) {
        fprintf(stderr, "property does not hold: %s\n", property);
        abort();
    }
}

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

namespace {

void AppendHex(std::string* text, uint32_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        *text += kDigits[(value >> shift) & 0xF];
    }
}

}  // namespace

void WriteProgramLanes(const FuzzProgram& program, std::string texts[4]) {
    for (int lane = 0; lane < 4; ++lane) {
        std::string& text = texts[lane];
        text.clear();
        for (const FuzzRecord& record : program.records) {
            text += '%';
            AppendHex(&text, static_cast<uint32_t>(14 + 2 * record.words.size()), 2);
            text += "600";  // data record; the checksum is not verified
            text += '8';
            AppendHex(&text, record.address, 8);
            for (uint32_t word : record.words) {
                AppendHex(&text, (word >> (8 * lane)) & 0xFF, 2);
            }
            text += '\n';
        }
        text += "%0E800";
        text += '8';
        AppendHex(&text, program.entry, 8);
        text += '\n';
    }
}

void TakeProgram(FuzzedDataProvider* input, FuzzLoad* load) {
    const size_t records = input->ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t r = 0; r < records; ++r) {
        FuzzRecord record;
        record.address = input->ConsumeIntegral<uint32_t>();
        const size_t words = input->ConsumeIntegralInRange<size_t>(0, 41);
        for (size_t w = 0; w < words; ++w) {
            record.words.push_back(input->ConsumeIntegral<uint32_t>());
        }
        load->program.records.push_back(record);
    }
    load->program.entry = input->ConsumeIntegral<uint32_t>();
    WriteProgramLanes(load->program, load->lanes.texts);

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
