// Packets of both download protocols, the record loop and the lines that report them.
#include "driver/packet.h"

#include "link/link.h"

uint32_t BytesLoaded = 0;

namespace {

constexpr uint8_t kRecordData = 0x01;

uint8_t MessageBuffer[kMessageBufferSize];

}  // namespace

bool ReadRecordOrExit(FILE* lanes[kLaneCount], HexRecord* record) {
    ReaderError error;
    switch (ReadHexRecord(lanes, record, &error)) {
        case ReadResult::Record:
            return true;
        case ReadResult::End:
            return false;
        case ReadResult::Error:
            break;
    }
    EndRun(kExitFailure, CleanupDue, "%s", error.message.c_str());
}

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
    PutAddress24(&packet, record.loadAddress);
    for (uint32_t word : record.words) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            PutByte(&packet, static_cast<uint8_t>(word >> shift));
        }
    }
    return packet;
}

Packet BuildAddressPacket(uint8_t* buffer, uint8_t command, uint32_t address) {
    Packet packet{buffer, 0, 0};
    PutByte(&packet, command);
    PutAddress24(&packet, address);
    return packet;
}

void PrintTargetAddress(uint32_t address) {
    printf("\rWriting Target Address: %06lX(HEX)", static_cast<unsigned long>(address));
}

uint32_t LoadAllRecords(FILE* lanes[kLaneCount], RecordSender sendRecord) {
    // The last record read stays here: after the loop, the termination record.
    HexRecord record;
    while (ReadRecordOrExit(lanes, &record)) {
        const int32_t sent = sendRecord(record, MessageBuffer);
        if (sent == kEndOfRecords) {
            break;
        }
        BytesLoaded += static_cast<uint32_t>(sent);
    }
    // The 4 stands for the start packet, counted whether or not one was sent.
    const unsigned long total = static_cast<unsigned long>(BytesLoaded + 4);
    printf("\n%lu   %lX(HEX) Bytes Loaded\n", total, total);
    return record.loadAddress;
}
