// The RAM loader's byte protocol with the board's firmware.
#include "ramloader/ram_protocol.h"

#include "hexreader/hexreader.h"
#include "link/link.h"

uint32_t BytesLoaded = 0;

namespace {

constexpr uint8_t kCommandData = 0x00;
constexpr uint8_t kCommandStart = 0x05;
constexpr uint8_t kRecordData = 0x01;
constexpr size_t kStartPacketBytes = 4;  // command and three address bytes

// Builds a packet byte by byte while summing it.
struct PacketBuilder {
    uint8_t* buffer;
    size_t count;
    uint32_t checksum;
};

void Store(PacketBuilder* packet, uint8_t byte) {
    packet->buffer[packet->count++] = byte;
    packet->checksum += byte;
}

void StoreAddress(PacketBuilder* packet, uint32_t address) {
    Store(packet, static_cast<uint8_t>(address >> 16));
    Store(packet, static_cast<uint8_t>(address >> 8));
    Store(packet, static_cast<uint8_t>(address));
}

void SendBytes(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        Transmit(bytes[i]);
    }
}

[[noreturn]] void ChecksumError() {
    printf("\nTARGET COMMUNICATION CHECKSUM ERROR");
    ExitLoader(2);
}

int32_t SendDataPacket(const HexRecord& record, uint8_t* buffer) {
    const size_t length = 7 + 4 * record.words.size();
    if (length > kMessageBufferSize) {
        // Lines of at most 98 characters never come near this; a packet must not overrun.
        printf("\nRecord Too Long For The Message Buffer\n");
        ExitLoader(2);
    }
    PacketBuilder packet{buffer, 0, 0};
    Store(&packet, kCommandData);
    Store(&packet, static_cast<uint8_t>(length >> 8));
    Store(&packet, static_cast<uint8_t>(length));
    Store(&packet, kRecordData);
    StoreAddress(&packet, LoadAddress);
    for (uint32_t word : record.words) {
        Store(&packet, static_cast<uint8_t>(word >> 24));
        Store(&packet, static_cast<uint8_t>(word >> 16));
        Store(&packet, static_cast<uint8_t>(word >> 8));
        Store(&packet, static_cast<uint8_t>(word));
    }
    printf("\rWriting Target Address: %06lX(HEX)", static_cast<unsigned long>(LoadAddress));
    SendBytes(buffer, packet.count);
    const uint8_t answer = ReceiveWait();
    if (answer != static_cast<uint8_t>(packet.checksum)) {
        ChecksumError();
    }
    return static_cast<int32_t>(packet.count);
}

int32_t SendStartPacket(uint8_t* buffer) {
    PacketBuilder packet{buffer, 0, 0};
    Store(&packet, kCommandStart);
    StoreAddress(&packet, LoadAddress);
    buffer[packet.count] = kCommandStart;  // the closing byte does not count in the checksum
    SendBytes(buffer, kStartPacketBytes);
    const uint8_t answer = ReceiveWait();
    // The target runs the program on this byte whatever it answered; the line is then
    // released before the answer is judged.
    Transmit(buffer[kStartPacketBytes]);
    EnableAuto_RTS_CTS(0);
    SetRtsSignal(0);
    if (answer != static_cast<uint8_t>(packet.checksum)) {
        ChecksumError();
    }
    return kEndOfProgram;
}

}  // namespace

int32_t SendRamRecord(FILE* lanes[4], uint8_t* buffer) {
    HexRecord record;
    if (!ReadHexRecord(lanes, &record, nullptr)) {
        return kEndOfProgram;
    }
    if (record.blockType == kBlockTypeTermination) {
        return SendStartPacket(buffer);
    }
    return SendDataPacket(record, buffer);
}

void LoadToRam(FILE* lanes[4]) {
    static uint8_t messageBuffer[kMessageBufferSize];
    for (;;) {
        const int32_t sent = SendRamRecord(lanes, messageBuffer);
        if (sent == kEndOfProgram) {
            break;
        }
        BytesLoaded += static_cast<uint32_t>(sent);
    }
    // The 4 stands for the start packet, counted whether or not one was sent.
    const unsigned long total = static_cast<unsigned long>(BytesLoaded + 4);
    printf("\n%lu   %lX(HEX) Bytes Loaded\n", total, total);
}

void ResetRamProtocol() {
    BytesLoaded = 0;
}
