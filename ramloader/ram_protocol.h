// The RAM loader's byte protocol: one packet per record, each answered by its checksum.
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/packet.h"

// Sends every record of the four open lane files (lane 0 first) and prints the byte count.
void LoadToRam(FILE* lanes[4]);
// Reads one record and sends it as one packet built whole in `buffer` (kMessageBufferSize
// bytes). Returns the data packet's length, or kEndOfRecords at the end of the lane files
// and after the start packet.
int32_t SendRamRecord(FILE* lanes[4], uint8_t* buffer);

// Puts the protocol's state back as at process start (for in-process tests).
void ResetRamProtocol();
