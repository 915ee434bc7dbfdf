// The RAM loader's byte protocol with the board's firmware.
#include "ramloader/ram_protocol.h"

#include "link/link.h"

namespace {

constexpr uint8_t kCommandData = 0x00;
constexpr uint8_t kCommandStart = 0x05;

void SendBytes(const uint8_t* bytes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        Transmit(bytes[i]);
    }
}

[[noreturn]] void ChecksumError() {
    EndRun(kExitFailure, nullptr, "\nTARGET COMMUNICATION CHECKSUM ERROR");
}

int32_t SendDataPacket(const HexRecord& record, uint8_t* buffer) {
    if (DataPacketLength(record) > kMessageBufferSize) {
        // Lines of at most 98 characters never come near this; a packet must not overrun.
        EndRun(kExitFailure, nullptr, "\nRecord Too Long For The Message Buffer\n");
    }
    const Packet packet = BuildDataPacket(buffer, kCommandData, record);
    PrintTargetAddress(record.loadAddress);
    SendBytes(buffer, packet.count);
    const uint8_t answer = ReceiveWait();
    if (answer != static_cast<uint8_t>(packet.checksum)) {
        ChecksumError();
    }
    return packet.count;
}

int32_t SendStartPacket(uint32_t entryAddress, uint8_t* buffer) {
    const Packet packet = BuildAddressPacket(buffer, kCommandStart, entryAddress);
    buffer[packet.count] = kCommandStart;  // the closing byte does not count in the checksum
    SendBytes(buffer, packet.count);
    const uint8_t answer = ReceiveWait();
    // The target runs the program on this byte whatever it answered; the line is then
    // released before the answer is judged.
    Transmit(buffer[packet.count]);
    EnableAuto_RTS_CTS(0);
    SetRtsSignal(0);
    if (answer != static_cast<uint8_t>(packet.checksum)) {
        ChecksumError();
    }
    return kEndOfRecords;
}

}  // namespace

int32_t SendRamRecord(const HexRecord& record, uint8_t* buffer) {
    if (record.blockType == kBlockTypeTermination) {
        return SendStartPacket(record.loadAddress, buffer);
    }
    return SendDataPacket(record, buffer);
}
