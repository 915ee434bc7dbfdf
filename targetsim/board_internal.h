// Inner state of the board model, shared by its source files (core, RAM and flash firmware).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "targetsim/board.h"

// Which program handles the bytes the board receives.
enum class BoardMode {
    Sync,     // after reset: waiting for a pair of sync bytes
    Ram,      // RAM firmware (sync 0x0F)
    Flash,    // flash firmware (sync 0x7F)
    Running,  // the loaded program runs: the firmware takes no more bytes
};

struct OutputByte {
    uint8_t byte;
    uint64_t readyNs;  // fully arrived at the host
};

enum class RamStep { Idle, DataPacket, StartPacket, WaitStartByte };

struct RamState {
    RamStep step = RamStep::Idle;
    std::vector<uint8_t> packet;  // the packet's bytes so far, command byte included
    uint32_t expected = 0;        // bytes the packet takes in all (known after the length)
    bool bad = false;             // length or marker wrong: refused once complete
    int32_t packets = 0;          // packets completed since the sync, counted from 1
};

enum class FlashStep { Idle, Name, Stamp, LoadData, StartAddress, WaitCloseByte };

struct FlashState {
    FlashStep step = FlashStep::Idle;
    std::vector<uint8_t> packet;  // bytes of the packet in progress
    uint32_t sum = 0;
    uint32_t expected = 0;
    bool bad = false;
    int32_t packets = 0;   // packets completed since the sync, start-download = 1
    int64_t received = 0;  // bytes received since the sync, from 1
    bool silentLogged = false;
    std::string name;  // start-download: the name so far
    uint8_t stamp[7] = {};
    int32_t stampCount = 0;
    // The download in progress.
    bool open = false;  // start-download answered with 1 and not yet ended
    bool entrySet = false;
    bool dataFailed = false;
    StoredProgram current;
    std::string lastName;  // name of the last start-download, stored or not
};

struct Replay;  // a trace played back instead of the firmware (replay.cpp)

struct Board {
    BoardOptions options;
    Replay* replay = nullptr;
    int32_t hostBaud = 0;
    // The host's rate over time (microseconds, rate), for output still on its way.
    std::vector<std::pair<uint64_t, int32_t>> hostBaudHistory;
    bool rts = false;
    uint64_t readyAtUs = 0;  // firmware ready and CTS up (unless a CTS fault says otherwise)
    bool readyLogged = true;
    uint64_t inputFreeNs = 0;   // the host-to-board line is busy until then
    uint64_t outputFreeNs = 0;  // the board-to-host line is busy until then
    std::deque<OutputByte> output;
    uint64_t eventNs = 0;  // when the event being handled happens

    BoardMode mode = BoardMode::Sync;
    int32_t pendingSync = -1;  // first byte of a possible pair, -1 when none
    int32_t syncPairs = 0;

    RamState ram;
    std::map<uint32_t, uint32_t> ramWords;
    bool ramStarted = false;
    uint32_t ramEntry = 0;

    FlashState flash;
    std::vector<StoredProgram> programs;  // in the order they were stored
    std::vector<uint64_t> programSeq;     // store order, kept in the program files
    bool flashStarted = false;
    std::string flashStartedName;

    std::vector<std::string> log;
};

// Both firmwares' data packets: command, length (2), marker, address (3), then the words.
constexpr uint8_t kDataMarker = 0x01;
constexpr uint32_t kDataHeaderBytes = 7;

// Numbers in packets go most significant byte first.
inline uint32_t PacketLength(const std::vector<uint8_t>& packet) {
    return (uint32_t{packet[1]} << 8) | packet[2];
}
inline uint32_t PacketAddress(const std::vector<uint8_t>& packet, size_t at) {
    return (uint32_t{packet[at]} << 16) | (uint32_t{packet[at + 1]} << 8) | packet[at + 2];
}

// The words of a complete data packet, from its address on; addresses wrap at 24 bits.
inline void StoreDataWords(const std::vector<uint8_t>& packet, uint32_t words,
                           std::map<uint32_t, uint32_t>* memory) {
    const uint32_t address = PacketAddress(packet, 4);
    for (uint32_t i = 0; i < words; ++i) {
        const size_t at = kDataHeaderBytes + 4 * i;
        const uint32_t word = (uint32_t{packet[at]} << 24) | (uint32_t{packet[at + 1]} << 16) |
                              (uint32_t{packet[at + 2]} << 8) | packet[at + 3];
        (*memory)[(address + i) & 0xFFFFFF] = word;
    }
}

// A data packet's length is refused when it leaves no whole words after the header.
inline bool DataLengthValid(uint32_t length) {
    return length >= kDataHeaderBytes && (length - kDataHeaderBytes) % 4 == 0;
}

// The bytes a data packet of `length` takes; a length that is not valid or above `limit`
// sets *bad, and the packet still takes the bytes the host says it sends.
inline uint32_t DataBytesToTake(uint32_t length, uint32_t limit, bool* bad) {
    if (!DataLengthValid(length) || length > limit) {
        *bad = true;
        return length < kDataHeaderBytes ? kDataHeaderBytes : length;
    }
    return length;
}

// Appends one line to the log, stamped with the time of the event being handled.
void BoardNote(Board* board, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Queues one byte for the host, sent at the time of the event being handled.
void BoardSend(Board* board, uint8_t byte);

void RamFirmwareByte(Board* board, uint8_t byte);
void RamFirmwareReset(Board* board);

void FlashFirmwareByte(Board* board, uint8_t byte);
void FlashFirmwareReset(Board* board);
// The flash folder: every stored program is one file in it.
void FlashLoadFolder(Board* board);
bool FlashSaveProgram(Board* board, const StoredProgram& program, uint64_t seq);
std::string FlashFileName(const std::string& programName);

// The board's side of a trace (options.replayPath) in place of the firmware: the output
// queue is filled from the trace, a bounded part at a time, CTS follows it.
Replay* ReplayCreate(Board* board);
void ReplayDestroy(Replay* replay);
void ReplaySetRts(Board* board, bool on, uint64_t nowUs);
void ReplayHostByte(Board* board, uint8_t byte, uint64_t nowUs);
// A byte of the output queue was taken: the next of the trace may take its place.
void ReplayOutputTaken(Board* board);
bool ReplayCts(Board* board, uint64_t nowUs);
