// Packets of both download protocols: each record goes out as one packet, built whole in
// the message buffer while it is summed; then the progress line and the byte total.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hexreader/hexreader.h"

constexpr size_t kMessageBufferSize = 10000;  // one packet is built here per record
constexpr int32_t kEndOfRecords = -2;         // a record sender's answer after the last one

// Every byte of every data packet sent so far.
extern uint32_t BytesLoaded;

struct Packet {
    uint8_t* bytes;
    int32_t count;
    uint32_t checksum;  // sum of the bytes stored so far
};

// Stores one byte and adds it to the checksum.
void PutByte(Packet* packet, uint8_t byte);
// Three address bytes, high byte first.
void PutAddress24(Packet* packet, uint32_t address);

// Length of a record's data packet: command, two length bytes, record type, address, words.
size_t DataPacketLength(const HexRecord& record);
// The data packet of a record at LoadAddress into `buffer`, words lane 3 byte first. The
// caller has checked DataPacketLength against the buffer.
Packet BuildDataPacket(uint8_t* buffer, uint8_t command, const HexRecord& record);
// Command and LoadAddress.
Packet BuildAddressPacket(uint8_t* buffer, uint8_t command);

// The progress line of a data packet: "\rWriting Target Address: ...".
void PrintTargetAddress();

// Reads and sends the records of the four lane files through `sendRecord` (a data packet's
// length, or kEndOfRecords), adds up BytesLoaded and prints the byte total.
using RecordSender = int32_t (*)(FILE* lanes[4], uint8_t* buffer);
void LoadAllRecords(FILE* lanes[4], RecordSender sendRecord);

// Puts BytesLoaded back as at process start (for in-process tests).
void ResetBytesLoaded();
