// The flash download (start, records, end, start program) in Save or Fast mode against a
// scripted flash firmware: a program from the input, perhaps with damaged lanes, fillers
// one second apart, and perhaps one fault. Properties: exit code 0 or 2, the line released
// at every exit, and code 0 only when the board stored every record and the start-program
// exchange came last.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>

#include "driver/driver_testing.h"
#include "driver/run_steps.h"
#include "fake/fake_platform.h"
#include "flashloader/download_mode.h"
#include "flashloader/flash_protocol.h"
#include "fuzz_support.h"
#include "link/link.h"

namespace {

enum Fault { kNone, kBadEcho, kBadChecksum, kBadResult, kBadEndStatus, kSilent, kFaultCount };

struct FlashBoard {
    Fault fault = kNone;
    size_t faultAt = 0;  // the byte received (from 1) or the packet (from 1) it hits
    uint8_t faultValue = 0;
    size_t startFillers = 0;
    size_t endFillers = 0;
    bool faultApplied = false;
    bool silent = false;

    size_t received = 0;
    size_t packets = 0;
    std::vector<uint8_t> packet;
    size_t nameEnd = 0;          // start-download: the position of the name's NUL, once seen
    bool awaitingClose = false;  // the start-program result went out; 0x0C follows
    bool started = false;
    bool afterStart = false;
    bool ended = false;  // the end-download status 4 went out
    std::vector<TestRecord> stored;

    void Send(std::vector<uint8_t>& reply, uint8_t byte, bool faulty) {
        if (faulty) {
            faultApplied = true;
        }
        reply.push_back(byte);
    }

    // Checksum and result of a packet.
    void Close(std::vector<uint8_t>& reply, uint8_t sum, uint8_t result) {
        ++packets;
        const bool here = packets == faultAt;
        Send(reply, here && fault == kBadChecksum ? static_cast<uint8_t>(sum + 1) : sum,
             here && fault == kBadChecksum);
        const bool badResult = here && fault == kBadResult && faultValue != result;
        Send(reply, badResult ? faultValue : result, badResult);
        packet.clear();
        nameEnd = 0;
    }

    void Receive(uint8_t byte, std::vector<uint8_t>& reply) {
        ++received;
        if (started) {
            afterStart = true;
            return;
        }
        if (awaitingClose) {
            // The host waits for nothing after this byte, so silence cannot matter here.
            started = byte == 0x0C;
            awaitingClose = false;
            return;
        }
        if (silent || (fault == kSilent && received >= faultAt)) {
            faultApplied = true;
            silent = true;
            return;
        }
        packet.push_back(byte);
        const uint8_t command = packet[0];
        if (packet.size() == 1 && command == 0x00) {
            reply.insert(reply.end(), startFillers, 0x7F);
            faultApplied = faultApplied || startFillers * 1000 >= kFillerLimitMs;
        }
        const bool badEcho = fault == kBadEcho && received == faultAt && faultValue != 0;
        Send(reply, static_cast<uint8_t>(byte ^ (badEcho ? faultValue : 0)), badEcho);

        uint8_t sum = 0;
        for (uint8_t b : packet) {
            sum = static_cast<uint8_t>(sum + b);
        }
        switch (command) {
            case 0x00:  // name, its NUL, seven values
                if (nameEnd == 0 && packet.size() > 1 && byte == 0) {
                    nameEnd = packet.size() - 1;
                }
                if (nameEnd != 0 && packet.size() == nameEnd + 8) {
                    Close(reply, sum, 1);
                }
                break;
            case 0x01:
                if (packet.size() == 4) {
                    Close(reply, sum, 1);
                }
                break;
            case 0x02:
                if (packet.size() >= 3 && packet.size() == (size_t{packet[1]} << 8 | packet[2])) {
                    stored.push_back(DecodeDataPacket(packet));
                    Close(reply, sum, 1);
                }
                break;
            case 0x03: {
                reply.push_back(0x03);
                reply.insert(reply.end(), endFillers, 0xFF);
                faultApplied = faultApplied || endFillers * 1000 >= kFillerLimitMs;
                const bool badStatus = fault == kBadEndStatus && faultValue != 4;
                Send(reply, badStatus ? faultValue : 4, badStatus);
                ended = !badStatus;
                packet.clear();
                break;
            }
            case 0x04:
                reply.push_back(0x04);
                reply.push_back(0x01);
                awaitingClose = true;
                packet.clear();
                break;
            default:
                packet.clear();  // not a command: only its echo
                break;
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
    auto board = std::make_shared<FlashBoard>();
    board->fault = static_cast<Fault>(input.ConsumeIntegralInRange<int>(0, kFaultCount - 1));
    board->faultAt = input.ConsumeIntegralInRange<size_t>(1, 400);
    board->faultValue = input.ConsumeIntegral<uint8_t>();
    board->startFillers = input.ConsumeIntegralInRange<size_t>(0, 70);
    board->endFillers = input.ConsumeIntegralInRange<size_t>(0, 70);
    const bool fast = input.ConsumeBool();
    const std::string name = input.ConsumeRandomLengthString(12);

    ResetDriverState();  // before the line is set up: it would forget the line
    StartConnectedLine(
        [board](uint8_t written, std::vector<uint8_t>& reply) { board->Receive(written, reply); });
    FakeSetReplyGapUs(1000000);  // fillers one second apart
    DownloadMode = fast ? 'f' : 's';
    const int code = RunCatchingExit([&] {
        StartDownload(name.c_str(), DateStamp{5, 3, 1, 14, 7, 9});
        LoadAllRecords(load.lanes.files, SendFlashRecord);
        EndDownload();
        StartTargetProgram();
        ExitLoader(0);  // as the driver ends a download that returned
    });
    Expect(code == 0 || code == 2, "exit code is 0 or 2");
    ExpectLineReleased();
    if (board->faultApplied || load.truncated) {
        Expect(code == 2, "a fault of the board or a cut lane ends with 2");
    } else if (!load.altered) {
        Expect(code == 0, "an intact program and a faultless board end with 0");
    }
    if (code == 0) {
        Expect(board->ended && board->started && !board->afterStart,
               "code 0 only after the end of the download and the start exchange, last");
        if (!load.altered) {
            ExpectRecordsTaken(board->stored, load.records);
        }
    }
    return 0;
}
