// The RAM loader's byte protocol: one packet per record, each answered by its checksum.
#pragma once

#include <cstdint>

#include "driver/packet.h"

constexpr uint8_t kRamSyncByte = 0x0F;  // the RAM firmware answers the sync with it

// The RAM loader's RecordSender: a data packet per data record; the termination record's
// start packet and its closing byte start the program (then kEndOfRecords).
int32_t SendRamRecord(const HexRecord& record, uint8_t* buffer);
