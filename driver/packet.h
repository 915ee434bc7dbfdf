// Packets of both download protocols and the record loop: the loop reads each record and
// hands it to the loader's sender, which builds it whole in the message buffer while it is
// summed and sends it; then the byte total. The reader's format errors end the run here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "hexreader/hexreader.h"
#include "link/link.h"

constexpr size_t kMessageBufferSize = 10000;  // one packet is built here per record
constexpr int32_t kEndOfRecords = -2;         // a record sender's answer after the last one

// Every byte of every data packet sent so far.
extern uint32_t BytesLoaded;

// Reads the next record. A format error ends the run with its message, after the clean-up
// step that is due (CleanupDue). False when the lane files end after the termination record.
bool ReadRecordOrExit(FILE* lanes[kLaneCount], HexRecord* record);

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
// The data packet of a record at its load address into `buffer`, words lane 3 byte first.
// The caller has checked DataPacketLength against the buffer.
Packet BuildDataPacket(uint8_t* buffer, uint8_t command, const HexRecord& record);
// Command and address.
Packet BuildAddressPacket(uint8_t* buffer, uint8_t command, uint32_t address);

// The progress line of a data packet: "\rWriting Target Address: ...".
void PrintTargetAddress(uint32_t address);

// Sends one record as one packet built in `buffer` (kMessageBufferSize bytes). Returns the
// data packet's length, or kEndOfRecords after the record that closes the download.
using RecordSender = int32_t (*)(const HexRecord& record, uint8_t* buffer);

// Reads the records of the four lane files and hands each to `sendRecord`, adds up
// BytesLoaded and prints the byte total. Returns the address of the last record read: after
// the termination record, the program's entry address.
uint32_t LoadAllRecords(FILE* lanes[kLaneCount], RecordSender sendRecord);
