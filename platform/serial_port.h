// Serial port calls of the OS layer. They carry the meaning of the Win32 communication calls;
// errors as system.h says, the system's code in SerialLastError() (GetLastError on Windows,
// errno on POSIX). Exactly one byte moves per read or write call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SerialPort;  // one open port, owned by the backend

// Port settings record: the fields the loaders change. Everything else the backend keeps
// as the port reported it.
struct SerialSettings {
    int32_t BaudRate = 0;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 = none
    uint8_t StopBits = 0;  // 0 = one stop bit
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 0;  // kDtrControl*
    bool fDsrSensitivity = false;
    bool fOutX = false;
    bool fInX = false;
    uint8_t fRtsControl = 0;  // kRtsControl*
};

// The values of the Win32 DCB fields and PurgeComm flags, under names of their own.
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlEnable = 1;
constexpr uint8_t kRtsControlHandshake = 2;
constexpr uint8_t kDtrControlDisable = 0;
constexpr uint8_t kDtrControlEnable = 1;

constexpr uint32_t kPurgeTxAbort = 0x0001;
constexpr uint32_t kPurgeRxAbort = 0x0002;
constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

struct SerialTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

// Where "COM1".."COM4" are looked up on POSIX: entries of that name in this folder (the
// folder of the settings file). With `folderHandle` (PlatformSettingsFolderHandle(), kept as
// a copy) they are taken from the folder as it was opened, so a folder renamed onto its path
// later is never used; -1: by the path. Windows opens the named device and ignores both.
void SerialSetDeviceFolder(const char* folder, int folderHandle);

// What "COM1".."COM4" leads to, for the trace: on POSIX the entry's path and, for a
// symlink, its target; on Windows the name itself.
void SerialDescribeEntry(const char* deviceName, char* out, size_t outSize);

// Opens "COM1".."COM4" for exclusive use; nullptr on failure.
SerialPort* SerialOpen(const char* deviceName);

// A network serial server (POSIX) that was reached but would not serve the port.
enum class SerialRefusal : uint8_t {
    None,      // no server refused: SerialLastError() alone tells the failure
    Refused,   // it refused serial port control
    HungUp,    // it closed the connection before agreeing to port control
    NoAnswer,  // it did not agree within `waitedSeconds`
};
struct SerialOpenRefusal {
    SerialRefusal kind = SerialRefusal::None;
    std::string where;  // the socket path or HOST:PORT
    std::string said;   // what it sent before, control characters as single spaces
    int waitedSeconds = 0;
};
// After SerialOpen failed: whether, and how, a server refused (kept until the next open).
const SerialOpenRefusal& SerialLastRefusal();

bool SerialSetupQueues(SerialPort* port, uint32_t receiveSize, uint32_t transmitSize);
bool SerialPurge(SerialPort* port, uint32_t purgeFlags);
bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts);
bool SerialGetSettings(SerialPort* port, SerialSettings* settings);
bool SerialSetSettings(SerialPort* port, const SerialSettings& settings);
bool SerialSetRts(SerialPort* port, bool on);
bool SerialGetCts(SerialPort* port, bool* on);
// Count of received bytes waiting (ClearCommError's cbInQue); also clears line errors.
bool SerialQueuedInput(SerialPort* port, uint32_t* count);
// Reads one byte, waiting as the time-outs say; *got is 0 when the wait ended empty.
bool SerialRead(SerialPort* port, uint8_t* byte, uint32_t* got);
// Writes one byte; *written is 0 when the write time-out passed first (byte dropped).
bool SerialWrite(SerialPort* port, uint8_t byte, uint32_t* written);
int SerialLastError();

// How much later than a local line the port shows the board's doings. A local line
// (termios, Win32) shows them at once: all zero. A network serial server shows them a round
// trip later, measured on the connection itself (the Telnet agreement at the open and every
// purge acknowledgement; the shortest so far, in whole milliseconds). The waits for the
// board's answers keep their time on a local line for what else may delay one.
struct SerialDelays {
    bool network = false;
    uint32_t roundTripMs = 0;
    // After an RTS change, the longest time before CTS shows as the board set it (a server
    // that polls the lines reports only what its looks see, and is asked again).
    uint32_t ctsLagMs = 0;
};
void SerialGetDelays(SerialPort* port, SerialDelays* delays);
