// Serial port driver: one port, byte-per-call transfers with fixed time-outs, RTS/CTS
// control and the common exit. Every failure prints its message and ends the process.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "link/link.h"
#include "link/link_testing.h"
#include "link/trace.h"
#include "platform/serial_port.h"
#include "platform/system.h"

namespace {

SerialPort* PortHandle = nullptr;
SerialSettings PortState;
bool LineHeld = false;  // the port is set up: the way out releases its line

constexpr uint32_t kQueueSize = 4096;
// A read waits this long for its byte (a silent target is no answer); a write this long.
constexpr uint32_t kReadTimeoutMs = 2000;
constexpr uint32_t kWriteTimeoutMs = 100;
constexpr uint32_t kPurgeAll = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;

// Before the port is set up, and the calls that release the line: nothing to release.
[[noreturn]] void FailDirect(const char* format) {
    LineHeld = false;
    EndRun(kExitFailure, nullptr, format, SerialLastError());
}

[[noreturn]] void FailThroughExitLoader(const char* format) {
    EndRun(kExitFailure, nullptr, format, SerialLastError());
}

// One read of one byte; false when the read time-out passed with nothing received.
bool ReadOneByte(uint8_t* byte, const char* errorFormat) {
    uint32_t got = 0;
    if (!SerialRead(PortHandle, byte, &got)) {
        FailThroughExitLoader(errorFormat);
    }
    if (got != 1) {
        TraceEvent("time-out: nothing received");
        return false;
    }
    TraceRead(*byte);
    return true;
}

[[noreturn]] void NoAnswer() {
    EndRun(kExitFailure, nullptr, "\nReceiveWait(): Timeout, No Answer From Target\n");
}

bool Purge() {
    TraceEvent("purge");
    return SerialPurge(PortHandle, kPurgeAll);
}

void TraceWrite(uint8_t byte, uint32_t written) {
    if (written == 1) {
        TraceWritten(byte);
    } else {
        TraceEvent("write time-out: byte %02X dropped", byte);
    }
}

void AppendFormatted(std::string* text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    const size_t at = text->size();
    text->resize(at + (length > 0 ? static_cast<size_t>(length) : 0));
    va_start(args, format);
    vsnprintf(&(*text)[at], text->size() - at + 1, format, args);
    va_end(args);
}

// A network serial server that was reached but would not serve the port: what it did and
// what it said, before the open's own message.
std::string RefusalText(const SerialOpenRefusal& refusal) {
    const char* where = refusal.where.c_str();
    std::string text;
    switch (refusal.kind) {
        case SerialRefusal::None:
            return text;
        case SerialRefusal::Refused:
            AppendFormatted(&text, "\n%s refused serial port control: not an RFC 2217 server\n",
                            where);
            break;
        case SerialRefusal::HungUp:
            AppendFormatted(
                &text,
                "\n%s closed the connection before agreeing to serial port control: its port is "
                "busy, or it is not an RFC 2217 server\n",
                where);
            break;
        case SerialRefusal::NoAnswer:
            AppendFormatted(
                &text,
                "\n%s did not agree to serial port control within %d seconds: not an RFC 2217 "
                "server, or its port is busy\n",
                where, refusal.waitedSeconds);
            break;
    }
    if (!refusal.said.empty()) {
        text += "The server said: \"" + refusal.said + "\"\n";
    }
    return text;
}

}  // namespace

void OpenComPort(int32_t portNumber, int32_t baudRate) {
    const char* deviceName = "COM1";
    switch (portNumber) {
        case 2:
            deviceName = "COM2";
            break;
        case 3:
            deviceName = "COM3";
            break;
        case 4:
            deviceName = "COM4";
            break;
        default:
            break;
    }
    if (TraceOn) {
        char entry[512];
        SerialDescribeEntry(deviceName, entry, sizeof entry);
        TraceSetPortEntry(entry);
    }
    PortHandle = SerialOpen(deviceName);
    if (PortHandle == nullptr) {
        EndRun(kExitFailure, nullptr, "%s\nOpen Of %s Failed: %d\n",
               RefusalText(SerialLastRefusal()).c_str(), deviceName, SerialLastError());
    }
    TraceEvent("open %s", deviceName);
    if (!SerialSetupQueues(PortHandle, kQueueSize, kQueueSize)) {
        FailDirect("\nSetupComm() Failed: %d\n");
    }
    if (!Purge()) {
        FailDirect("\nPurgeComm() Failed: %d\n");
    }
    // Measured at the Telnet agreement and the purge's acknowledgement.
    const SerialDelays delays = PortDelays();
    if (delays.network) {
        TraceEvent("network port: round trip %u ms, CTS up to %u ms late", delays.roundTripMs,
                   delays.ctsLagMs);
    }
    SerialTimeouts timeouts;
    timeouts.ReadIntervalTimeout = kReadTimeoutMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!SerialSetTimeouts(PortHandle, timeouts)) {
        FailDirect("\nSetCommTimeouts() Failed: %d\n");
    }
    if (!SerialGetSettings(PortHandle, &PortState)) {
        FailDirect("\nGetCommState() Failed: %d\n");
    }
    PortState.BaudRate = baudRate;
    PortState.ByteSize = 8;
    PortState.Parity = 0;
    PortState.StopBits = 0;
    PortState.fOutxCtsFlow = false;
    PortState.fOutxDsrFlow = false;
    PortState.fDtrControl = kDtrControlDisable;
    PortState.fDsrSensitivity = false;
    PortState.fOutX = false;
    PortState.fInX = false;
    PortState.fRtsControl = kRtsControlDisable;
    TraceEvent("rate %d", baudRate);
    if (!SerialSetSettings(PortHandle, PortState)) {
        FailDirect("\nSetCommState() Failed: %d\n");
    }
    LineHeld = true;
}

void SetBaudrate(int32_t baudRate) {
    if (!SerialGetSettings(PortHandle, &PortState)) {
        FailThroughExitLoader("\nGetCommState() Failed: %d\n");
    }
    PortState.BaudRate = baudRate;
    TraceEvent("rate %d", baudRate);
    if (!SerialSetSettings(PortHandle, PortState)) {
        FailThroughExitLoader("\nSetCommState() Failed: %d\n");
    }
    if (!Purge()) {
        FailThroughExitLoader("\nPurgeComm() Failed: %d\n");
    }
}

void Transmit(int32_t byte) {
    uint32_t written = 0;
    // A byte that cannot go out within the write time-out is dropped without a message.
    if (!SerialWrite(PortHandle, static_cast<uint8_t>(byte & 0xFF), &written)) {
        FailThroughExitLoader("\nTransmit(): Communiction Error: %d\n");
    }
    TraceWrite(static_cast<uint8_t>(byte & 0xFF), written);
}

void TransmitBlock(const uint8_t* bytes, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        uint32_t written = 0;
        if (!SerialWrite(PortHandle, bytes[i], &written)) {
            FailThroughExitLoader("\nTransmitBlock(): Communiction Error: %d\n");
        }
        TraceWrite(bytes[i], written);
    }
}

// A read that times out is no answer: judging an undefined byte could pass a missing
// checksum as the right one, so it ends the run.
uint8_t ReceiveWait() {
    uint8_t byte = 0;
    if (!ReadOneByte(&byte, "\nReceiveWait(): Communiction Error: %d\n")) {
        NoAnswer();
    }
    return byte;
}

uint8_t ReceiveWaitPastFillers(uint8_t filler) {
    // A board that only ever sends fillers is as good as a silent one.
    const uint32_t start = PlatformMilliseconds();
    uint8_t byte = ReceiveWait();
    while (byte == filler) {
        if (PlatformMilliseconds() - start >= kFillerLimitMs) {
            NoAnswer();
        }
        byte = ReceiveWait();
    }
    return byte;
}

void ReceiveBlock(uint8_t* buffer, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (!ReadOneByte(&buffer[i], "\nReceiveBlock(): Communiction Error: %d\n")) {
            EndRun(kExitFailure, nullptr, "\nReceiveBlock(): Timeout, No Answer From Target\n");
        }
    }
}

int32_t ReceiveReady() {
    TraceWait();
    uint32_t count = 0;
    // Its own failure counts as nothing waiting.
    if (!SerialQueuedInput(PortHandle, &count)) {
        return 0;
    }
    return count > 0 ? 1 : 0;
}

void EnableAuto_RTS_CTS(int32_t on) {
    if (on != 0) {
        PortState.fOutxCtsFlow = true;
        PortState.fRtsControl = kRtsControlHandshake;
    } else {
        PortState.fOutxCtsFlow = false;
        PortState.fRtsControl = kRtsControlDisable;
    }
    TraceEvent(on != 0 ? "flow control RTS/CTS on" : "flow control off");
    if (!SerialSetSettings(PortHandle, PortState)) {
        FailDirect("\nEnableAuto_RTS_CTS() Failed: %d\n");
    }
}

void SetRtsSignal(int32_t state) {
    TraceEvent(state == 1 ? "RTS on" : "RTS off");
    if (!SerialSetRts(PortHandle, state == 1)) {
        FailDirect("\nSetRtsSignal() Failed: %d \n");
    }
}

int32_t CTSSignalSet() {
    bool on = false;
    if (!SerialGetCts(PortHandle, &on)) {
        FailThroughExitLoader("\nCTSSignalSet() Failed: %d\n");
    }
    TraceCts(on);
    return on ? 1 : 0;
}

void Delay(int32_t milliseconds) {
    TraceWait();
    PlatformSleep(milliseconds);
}

SerialDelays PortDelays() {
    SerialDelays delays;
    SerialGetDelays(PortHandle, &delays);
    return delays;
}

void ExitLoader(int32_t exitCode) {
    if (LineHeld) {
        LineHeld = false;  // their own failures exit directly
        EnableAuto_RTS_CTS(0);
        SetRtsSignal(0);
    }
    TraceEnd(exitCode);
    PlatformExit(exitCode);
}

void ResetSerialDriverState() {
    PortHandle = nullptr;
    LineHeld = false;
    PortState = SerialSettings();
    CleanupDue = nullptr;
    ResetTraceState();
}
