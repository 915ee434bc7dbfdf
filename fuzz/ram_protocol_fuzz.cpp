// The RAM download against a scripted RAM firmware: a program from the input, perhaps with
// damaged lanes, and perhaps one wrong or missing answer. Properties: exit code 0 or 2, the
// line released at every exit, and code 0 only when the board took every record and then
// the start packet, with nothing after it.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "ramloader/ram_protocol.h"

namespace {

enum Fault { kNone, kWrongAnswer, kSilent };

// The board's side: packets as the firmware parses them.
struct RamBoard {
    Fault fault = kNone;
    size_t faultPacket = 0;  // counted from 1, the start packet included
    bool faultApplied = false;
    bool silent = false;

    std::vector<uint8_t> packet;
    size_t packets = 0;
    bool awaitingClose = false;  // the start packet was answered; 0x05 starts the program
    bool started = false;
    bool afterStart = false;  // a byte came after the program was started
    std::vector<TestRecord> accepted;

    void Answer(std::vector<uint8_t>& reply) {
        ++packets;
        uint8_t sum = 0;
        for (uint8_t byte : packet) {
            sum = static_cast<uint8_t>(sum + byte);
        }
        if (packets == faultPacket && fault != kNone) {
            faultApplied = true;
            if (fault == kSilent) {
                silent = true;
                return;
            }
            sum = static_cast<uint8_t>(sum + 1);
        }
        reply.push_back(sum);
    }

    void Receive(uint8_t byte, std::vector<uint8_t>& reply) {
        if (started) {
            afterStart = true;
            return;
        }
        if (silent) {
            return;
        }
        if (awaitingClose) {
            started = byte == 0x05;
            awaitingClose = false;
            return;
        }
        packet.push_back(byte);
        const uint8_t command = packet[0];
        if (command == 0x05 && packet.size() == 4) {
            Answer(reply);
            awaitingClose = true;
            packet.clear();
        } else if (command == 0x00 && packet.size() >= 3) {
            const size_t length = size_t{packet[1]} << 8 | packet[2];
            if (packet.size() == length) {
                accepted.push_back(DecodeDataPacket(packet));
                Answer(reply);
                packet.clear();
            }
        } else if (command != 0x00 && command != 0x05) {
            packet.clear();  // not a command: the firmware waits for one
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SilenceConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzLoad load;
    TakeProgram(&input, &load);
    auto board = std::make_shared<RamBoard>();
    board->fault = static_cast<Fault>(input.ConsumeIntegralInRange<int>(0, 2));
    board->faultPacket = input.ConsumeIntegralInRange<size_t>(1, 8);

    ResetDriverState();  // before the line is set up: it would forget the line
    StartConnectedLine(
        [board](uint8_t written, std::vector<uint8_t>& reply) { board->Receive(written, reply); });
    const int code = RunCatchingExit([&] {
        LoadAllRecords(load.lanes.files, SendRamRecord);
        ExitLoader(0);  // as the driver ends a download that returned
    });
    Expect(code == 0 || code == 2, "exit code is 0 or 2");
    ExpectLineReleased();
    if (board->faultApplied || load.truncated) {
        Expect(code == 2, "a wrong or missing answer, or a cut lane, ends with 2");
    } else if (!load.altered) {
        Expect(code == 0, "an intact program and a faultless board end with 0");
    }
    if (code == 0) {
        Expect(board->started && !board->afterStart, "code 0 only after the start packet, last");
        if (!load.altered) {
            ExpectRecordsTaken(board->accepted, load.records);
        }
    }
    return 0;
}
