// The flash loader's half of the byte protocol: a named program file on the target, its
// records, the end of the download and the start of the stored program. Every operation
// returns only on success; a failure prints its message, runs StartTargetProgram as the
// clean-up step (due from StartDownload on) and ends the process with code 2.
#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/packet.h"
#include "flashloader/date_stamp.h"

constexpr uint8_t kFlashSyncByte = 0x7F;  // the flash firmware answers the sync with it
constexpr size_t kEchoBufferSize = 200;   // Fast mode reads a packet's echoes here

// Creates the program file `name` on the target with its date stamp (and a trailing 1).
// Only the low byte of each number goes on the wire. From here on StartTargetProgram is the
// clean-up step that is due (CleanupDue).
void StartDownload(const char* name, const DateStamp& stamp);

// The flash loader's RecordSender: sends one record, in Save or Fast mode after DownloadMode.
// Returns the load-data packet's length, or kEndOfRecords after the load-start-address
// packet was accepted.
int32_t SendFlashRecord(const HexRecord& record, uint8_t* messageBuffer);

void EndDownload();

// Also the clean-up step before every fatal exit of the protocol and of the reader; once it
// begins it is due no more, and its own failures end the process at once.
void StartTargetProgram();
