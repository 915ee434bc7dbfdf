// The flash loader's byte protocol with the board's firmware: every byte echoed, every
// packet closed by its checksum and a result.
#include "flashloader/flash_protocol.h"

#include <cstdarg>

#include "flashloader/download_mode.h"
#include "flashloader/end_status.h"
#include "link/link.h"

namespace {

constexpr uint8_t kCmdStartDownload = 0x00;
constexpr uint8_t kCmdLoadStartAddress = 0x01;
constexpr uint8_t kCmdLoadData = 0x02;
constexpr uint8_t kCmdEndDownload = 0x03;
constexpr uint8_t kCmdStartProgram = 0x04;
constexpr uint8_t kCmdClose = 0x0C;
constexpr uint8_t kStartFiller = kFlashSyncByte;  // may come before the first echo
constexpr uint8_t kResultOk = 1;
constexpr uint8_t kResultRefused = 0;
constexpr uint8_t kStampTrailer = 1;  // sent after the six date values

const char* const kEchoErrorShort =
    "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x%02x RECEIVED DATA:0x%02x\n\n";
const char* const kEchoErrorLong =
    "\n\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x%02x RECEIVED DATA:0x%02x\n\n";

// The failed step is over: start whatever the target holds (the clean-up step, due from
// the first byte of the download on), then end with code 2.
[[noreturn]] void Fatal(const char* format, ...) {
    va_list args;
    va_start(args, format);
    EndRunV(kExitFailure, CleanupDue, format, args);
}

// The texts of a packet's closing exchange: its checksum, then its result (1 accepted).
struct ClosingTexts {
    const char* checksumError;
    const char* refused;  // may quote refusedName with %s
    const char* unknownResult;
};

// Checks the target's checksum of a packet and its result; every failure is fatal.
void ExpectChecksumAndResult(uint32_t checksum, const ClosingTexts& texts,
                             const char* refusedName = "") {
    if (ReceiveWait() != static_cast<uint8_t>(checksum)) {
        Fatal(texts.checksumError);
    }
    const uint8_t result = ReceiveWait();
    if (result == kResultRefused) {
        Fatal(texts.refused, refusedName);
    }
    if (result != kResultOk) {
        Fatal(texts.unknownResult);
    }
}

void SendWithEcho(uint8_t byte, const char* mismatchFormat) {
    Transmit(byte);
    uint8_t echo = ReceiveWait();
    if (echo != byte) {
        Fatal(mismatchFormat, byte, echo);
    }
}

// Save mode: every byte waits for its echo.
void SendEachWithEcho(const Packet& packet) {
    for (int32_t i = 0; i < packet.count; ++i) {
        SendWithEcho(packet.bytes[i], kEchoErrorLong);
    }
}

// Fast mode: the whole packet goes out, then its echoes are checked in one pass.
void SendPacketFast(const uint8_t* packet, int32_t count) {
    TransmitBlock(packet, count);
    uint8_t echo[kEchoBufferSize];
    int32_t mismatchAt = -1;
    uint8_t mismatchEcho = 0;
    // All echoes are read even after a mismatch, so the clean-up exchange meets no stale ones.
    for (int32_t done = 0; done < count;) {
        int32_t chunk = count - done;
        if (chunk > static_cast<int32_t>(kEchoBufferSize)) {
            chunk = static_cast<int32_t>(kEchoBufferSize);
        }
        ReceiveBlock(echo, chunk);
        for (int32_t i = 0; i < chunk && mismatchAt < 0; ++i) {
            if (echo[i] != packet[done + i]) {
                mismatchAt = done + i;
                mismatchEcho = echo[i];
            }
        }
        done += chunk;
    }
    if (mismatchAt >= 0) {
        Fatal(
            "\n\nERROR AT RECEIVED ECHO: \nTRANSMITTED DATA:0x%02x RECEIVED DATA:0x%02x\n\n"
            "Please Try Again With Security Option: \"TAVFLA <NAME> -Ms\"\n\n",
            packet[mismatchAt], mismatchEcho);
    }
}

int32_t SendDataRecord(const HexRecord& record, uint8_t* buffer) {
    const size_t length = DataPacketLength(record);
    if (length > kMessageBufferSize || length > 0xFFFF) {
        Fatal("\nERROR: Record Of %lu Words Too Long For One Packet\n",
              static_cast<unsigned long>(record.words.size()));
    }
    const Packet packet = BuildDataPacket(buffer, kCmdLoadData, record);
    PrintTargetAddress(record.loadAddress);

    if (DownloadMode == kSaveMode) {
        SendEachWithEcho(packet);
    } else {
        SendPacketFast(buffer, packet.count);
    }
    ExpectChecksumAndResult(
        packet.checksum, {"\nTARGET COMMUNICATION CHECKSUM ERROR\n", "\nTarget Flash Memory Full\n",
                          "\n\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"});
    return packet.count;
}

int32_t SendStartAddress(uint32_t entryAddress, uint8_t* buffer) {
    // Always the command and three address bytes, whatever the record's length field says.
    const Packet packet = BuildAddressPacket(buffer, kCmdLoadStartAddress, entryAddress);
    SendEachWithEcho(packet);
    ExpectChecksumAndResult(packet.checksum,
                            {"\n\nTARGET COMMUNICATION CHECKSUM ERROR\n\n",
                             "\n\nERROR: PROGRAM START ADDRESS WAS NOT CORRECTLY\n\n",
                             "\n\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"});
    return kEndOfRecords;
}

}  // namespace

void StartDownload(const char* name, const DateStamp& stamp) {
    CleanupDue = StartTargetProgram;
    uint32_t checksum = 0;
    Transmit(kCmdStartDownload);
    uint8_t echo = ReceiveWaitPastFillers(kStartFiller);
    if (echo != kCmdStartDownload) {
        Fatal(kEchoErrorShort, kCmdStartDownload, echo);
    }

    for (const char* p = name;; ++p) {
        uint8_t byte = static_cast<uint8_t>(*p);
        SendWithEcho(byte, kEchoErrorShort);
        checksum += byte;
        if (byte == 0) {
            break;
        }
    }
    const int32_t values[] = {stamp.day,    stamp.month,  stamp.year,   stamp.hour,
                              stamp.minute, stamp.second, kStampTrailer};
    for (int32_t value : values) {
        uint8_t byte = static_cast<uint8_t>(value);
        SendWithEcho(byte, kEchoErrorShort);
        checksum += byte;
    }
    ExpectChecksumAndResult(
        checksum,
        {"\nTARGET COMMUNICATION CHECKSUM ERROR", "Filename %s Already Exists On Target\n",
         "\nERROR: UNKNOWN RESULT CODE RECEIVED\n\n"},
        name);
}

int32_t SendFlashRecord(const HexRecord& record, uint8_t* messageBuffer) {
    if (record.blockType == kBlockTypeData) {
        return SendDataRecord(record, messageBuffer);
    }
    return SendStartAddress(record.loadAddress, messageBuffer);
}

void EndDownload() {
    Transmit(kCmdEndDownload);
    uint8_t echo = ReceiveWait();
    if (echo != kCmdEndDownload) {
        Fatal(kEchoErrorShort, kCmdEndDownload, echo);
    }
    if (ReceiveWait() != kCmdEndDownload) {
        Fatal("\nTARGET COMMUNICATION CHECKSUM ERROR\n\n");
    }
    uint8_t status = ReceiveWaitPastFillers(kEndStatusFiller);
    switch (status) {
        case kEndStatusStartDownload:
            Fatal("\nERROR: PREVIOUS START DOWNLOAD PROTOCOL WAS NOT CORRECTLY\n\n");
        case kEndStatusLoadStartAddress:
            Fatal("\nERROR: PREVIOUS LOAD START ADDRESS PROTOCOL WAS NOT CORRECTLY\n\n");
        case kEndStatusLoadData:
            Fatal("\nERROR: LOAD DATA PROTOCOL WAS NOT CORRECTLY\n\n");
        case kEndStatusFlashFull:
            Fatal("More Than 63 Programs Present In Flash\n");
        case kEndStatusComplete:
            return;
        default:
            Fatal("\nERROR: UNKNOWN RESULT CODE 0x%02x RECEIVED\n\n", status);
    }
}

void StartTargetProgram() {
    // Never runs the clean-up step itself: every failure here ends the process at once.
    CleanupDue = nullptr;
    Transmit(kCmdStartProgram);
    uint8_t echo = ReceiveWait();
    if (echo != kCmdStartProgram) {
        EndRun(kExitFailure, nullptr,
               "\nERROR AT RECEIVED ECHO: TRANSMITTED DATA:0x%02x RECEIVED DATA:0x%02x\n",
               kCmdStartProgram, echo);
    }
    uint8_t checksum = ReceiveWait();
    if (checksum != kCmdStartProgram) {
        EndRun(kExitFailure, nullptr,
               "\nCHECKSUM ERROR: Checksum: %02x   ReceivedChecksum: %02x \n", kCmdStartProgram,
               checksum);
    }
    uint8_t result = ReceiveWait();
    if (result == kResultRefused) {
        EndRun(kExitFailure, nullptr, "\nERROR: TARGET PROGRAM NOT STARTED\n");
    }
    if (result != kResultOk) {
        EndRun(kExitFailure, nullptr, "\nERROR: UNKNOWN RESULT CODE RECEIVED\n");
    }
    Transmit(kCmdClose);
}
