// RAM firmware of the board model: data packets written into RAM, the start packet and its
// closing 0x05. Every packet is answered with its byte sum once it has fully arrived.
#include "targetsim/board_internal.h"

namespace {

constexpr uint8_t kDataCommand = 0x00;
constexpr uint8_t kStartCommand = 0x05;

uint8_t Sum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    return static_cast<uint8_t>(sum);
}

// Answers a completed packet, applying the answer faults.
void Answer(Board* board, uint8_t checksum) {
    const BoardOptions& o = board->options;
    const int32_t k = board->ram.packets;
    if (o.ramSilentFrom > 0 && k >= o.ramSilentFrom) {
        BoardNote(board, "packet %d not answered: silent from packet %d (fault)", k,
                  o.ramSilentFrom);
        return;
    }
    if (k == o.ramWrongChecksumAt) {
        BoardNote(board, "packet %d answered 0x%02X instead of 0x%02X (fault)", k,
                  static_cast<uint8_t>(checksum + 1), checksum);
        checksum = static_cast<uint8_t>(checksum + 1);
    }
    BoardSend(board, checksum);
}

void DataPacketDone(Board* board) {
    RamState& r = board->ram;
    ++r.packets;
    const uint8_t sum = Sum(r.packet);
    const uint32_t length = PacketLength(r.packet);
    const uint32_t address = PacketAddress(r.packet, 4);
    if (r.bad) {
        // A refused packet gets an answer that can never match its sum.
        BoardNote(board, "packet %d refused (length %u, marker 0x%02X): answered 0x%02X", r.packets,
                  length, r.packet[3], static_cast<uint8_t>(~sum));
        Answer(board, static_cast<uint8_t>(~sum));
    } else {
        const uint32_t words = (length - kDataHeaderBytes) / 4;
        StoreDataWords(r.packet, words, &board->ramWords);
        BoardNote(board, "packet %d: data at 0x%06X, %u words, length %u, checksum 0x%02X",
                  r.packets, address, words, length, sum);
        Answer(board, sum);
    }
    r.step = RamStep::Idle;
    r.packet.clear();
}

void StartPacketDone(Board* board) {
    RamState& r = board->ram;
    ++r.packets;
    const uint8_t sum = Sum(r.packet);
    BoardNote(board, "packet %d: start at 0x%06X, checksum 0x%02X", r.packets,
              PacketAddress(r.packet, 1), sum);
    Answer(board, sum);
    r.step = RamStep::WaitStartByte;
}

}  // namespace

void RamFirmwareReset(Board* board) {
    board->ram = RamState();
}

void RamFirmwareByte(Board* board, uint8_t byte) {
    RamState& r = board->ram;
    switch (r.step) {
        case RamStep::Idle:
            if (byte == kDataCommand) {
                r.step = RamStep::DataPacket;
                r.packet.assign(1, byte);
                r.expected = kDataHeaderBytes;
                r.bad = false;
            } else if (byte == kStartCommand) {
                r.step = RamStep::StartPacket;
                r.packet.assign(1, byte);
            } else {
                BoardNote(board, "unknown RAM command 0x%02X ignored", byte);
            }
            return;
        case RamStep::DataPacket:
            r.packet.push_back(byte);
            if (r.packet.size() == 3) {
                r.expected = DataBytesToTake(PacketLength(r.packet), UINT32_MAX, &r.bad);
            } else if (r.packet.size() == 4 && byte != kDataMarker) {
                r.bad = true;
            }
            if (r.packet.size() >= kDataHeaderBytes && r.packet.size() == r.expected) {
                DataPacketDone(board);
            }
            return;
        case RamStep::StartPacket:
            r.packet.push_back(byte);
            if (r.packet.size() == 4) {
                StartPacketDone(board);
            }
            return;
        case RamStep::WaitStartByte:
            if (byte == kStartCommand) {
                board->ramStarted = true;
                board->ramEntry = PacketAddress(r.packet, 1);
                board->mode = BoardMode::Running;
                BoardNote(board, "program started at 0x%06X", board->ramEntry);
            } else {
                BoardNote(board, "byte 0x%02X instead of 0x05 after the start packet: not started",
                          byte);
            }
            r.step = RamStep::Idle;
            r.packet.clear();
            return;
    }
}
