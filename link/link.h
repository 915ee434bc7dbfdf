// The target link: serial port driver and target connection, shared by both loaders.
// Every failure prints its message and ends the process; callers never see an error.
#pragma once

#include <cstdint>

// Process-wide state shared by the drivers and the link.
extern int32_t CurrentBaud;      // 38400 or 115200; ConnectTarget leaves the answering rate
extern int32_t SettingsChanged;  // the settings file is to be written; only ever set
extern int32_t Verbose;          // option -I
extern int32_t SyncAttempts;

// The connection byte, fixed per program when it is linked: 0x0F RAM loader, 0x7F flash.
extern const uint8_t SyncByte;

constexpr int32_t kBaudLow = 38400;
constexpr int32_t kBaudHigh = 115200;

// Serial port driver.
void OpenComPort(int32_t portNumber, int32_t baudRate);
void SetBaudrate(int32_t baudRate);
void Transmit(int32_t byte);
void TransmitBlock(const uint8_t* bytes, int32_t count);
uint8_t ReceiveWait();
// ReceiveWait past any run of `filler` bytes; a run that lasts kFillerLimitMs ends the
// process like a silent target (no answer, ExitLoader(2)).
uint8_t ReceiveWaitPastFillers(uint8_t filler);
constexpr uint32_t kFillerLimitMs = 60000;
void ReceiveBlock(uint8_t* buffer, int32_t count);
int32_t ReceiveReady();
void EnableAuto_RTS_CTS(int32_t on);
void SetRtsSignal(int32_t state);
int32_t CTSSignalSet();
void Delay(int32_t milliseconds);
[[noreturn]] void ExitLoader(int32_t exitCode);

// Target connection. The CTS wait and the rate search go on until a key is pressed; when
// no key can come (ConsoleInputEnded), each ends after kUnattendedWaitMs (exit code 2).
constexpr uint32_t kUnattendedWaitMs = 60000;
int32_t ConnectTarget();
void ResetTarget();
int32_t SendSync(int32_t attempts);
int32_t CheckSyncAck();

// Put each part's process-wide state back as at process start (for in-process tests).
void ResetSerialDriverState();
void ResetConnectionState();
