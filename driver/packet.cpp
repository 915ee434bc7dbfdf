// Packets of both download protocols and the lines that report them.
#include "driver/packet.h"

uint32_t BytesLoaded = 0;

namespace {

constexpr uint8_t kRecordData = 0x01;

uint8_t MessageBuffer[kMessageBufferSize];

}  // namespace

void PutByte(Packet* packet, uint8_t byte) {
    packet->bytes[packet->count++] = byte;
    packet->checksum += byte;
}

void PutAddress24(Packet* packet, uint32_t address) {
    PutByte(packet, static_cast<uint8_t>(address >> 16));
    PutByte(packet, static_cast<uint8_t>(address >> 8));
    PutByte(packet, static_cast<uint8_t>(address));
}

size_t DataPacketLength(const HexRecord& record) {
    // The length follows the record's own words, whatever its address width.
    return 7 + 4 * record.words.size();
}

Packet BuildDataPacket(uint8_t* buffer, uint8_t command, const HexRecord& record) {
    const size_t length = DataPacketLength(record);
    Packet packet{buffer, 0, 0};
    PutByte(&packet, command);
    PutByte(&packet, static_cast<uint8_t>(length >> 8));
    PutByte(&packet, static_cast<uint8_t>(length));
    PutByte(&packet, kRecordData);
    PutAddress24(&packet, LoadAddress);
    for (uint32_t word : record.words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            PutByte(&packet, static_cast<uint8_t>(word >> shift));
        }
    }
    return packet;
}

Packet BuildAddressPacket(uint8_t* buffer, uint8_t command) {
    Packet packet{buffer, 0, 0};
    PutByte(&packet, command);
    PutAddress24(&packet, LoadAddress);
    return packet;
}

void PrintTargetAddress() {
    printf("\rWriting Target Address: %06lX(HEX)", static_cast<unsigned long>(LoadAddress));
}

void LoadAllRecords(FILE* lanes[4], RecordSender sendRecord) {
    for (;;) {
        const int32_t sent = sendRecord(lanes, MessageBuffer);
        if (sent == kEndOfRecords) {
            break;
        }
        BytesLoaded += static_cast<uint32_t>(sent);
    }
    // The 4 stands for the start packet, counted whether or not one was sent.
    const unsigned long total = static_cast<unsigned long>(BytesLoaded + 4);
    printf("\n%lu   %lX(HEX) Bytes Loaded\n", total, total);
}

void ResetBytesLoaded() {
    BytesLoaded = 0;
}
