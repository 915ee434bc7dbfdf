// Serial port calls on Windows: the Win32 communication API, one byte per call.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/backend_internal.h"
#include "platform/serial_port.h"

// The port calls pass these through to the DCB and PurgeComm unchanged.
static_assert(kRtsControlDisable == RTS_CONTROL_DISABLE &&
                  kRtsControlEnable == RTS_CONTROL_ENABLE &&
                  kRtsControlHandshake == RTS_CONTROL_HANDSHAKE,
              "RTS control values");
static_assert(kDtrControlDisable == DTR_CONTROL_DISABLE && kDtrControlEnable == DTR_CONTROL_ENABLE,
              "DTR control values");
static_assert(kPurgeTxAbort == PURGE_TXABORT && kPurgeRxAbort == PURGE_RXABORT &&
                  kPurgeTxClear == PURGE_TXCLEAR && kPurgeRxClear == PURGE_RXCLEAR,
              "purge flags");

struct SerialPort {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DCB state;  // the record as last read from the port
};

namespace {

int LastError = 0;
// The port the Ctrl-C handler releases; the handler runs on its own thread.
SerialPort* volatile OpenPort = nullptr;

bool Fail() {
    LastError = static_cast<int>(GetLastError());
    return false;
}

void ReleaseLinesForExit() {
    SerialPort* port = OpenPort;
    if (port == nullptr) {
        return;
    }
    DCB state;
    memset(&state, 0, sizeof(state));
    state.DCBlength = sizeof(DCB);
    if (GetCommState(port->handle, &state)) {
        state.fOutxCtsFlow = 0;
        state.fRtsControl = RTS_CONTROL_DISABLE;
        SetCommState(port->handle, &state);
    }
    EscapeCommFunction(port->handle, CLRRTS);
}

}  // namespace

void SerialSetDeviceFolder(const char*, int) {}

void SerialDescribeEntry(const char* deviceName, char* out, size_t outSize) {
    snprintf(out, outSize, "%s", deviceName);
}

SerialPort* SerialOpen(const char* deviceName) {
    PlatformWatchPort(ReleaseLinesForExit, nullptr);
    HANDLE handle = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Fail();
        return nullptr;
    }
    SerialPort* port = new SerialPort;
    port->handle = handle;
    memset(&port->state, 0, sizeof(port->state));
    port->state.DCBlength = sizeof(DCB);
    // A first copy of the record, so a write before any read keeps the port's own fields;
    // a failure shows at the read that follows.
    GetCommState(handle, &port->state);
    OpenPort = port;
    return port;
}

bool SerialSetupQueues(SerialPort* port, uint32_t receiveSize, uint32_t transmitSize) {
    return SetupComm(port->handle, receiveSize, transmitSize) || Fail();
}

bool SerialPurge(SerialPort* port, uint32_t purgeFlags) {
    return PurgeComm(port->handle, purgeFlags) || Fail();
}

bool SerialSetTimeouts(SerialPort* port, const SerialTimeouts& timeouts) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts.ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    return SetCommTimeouts(port->handle, &t) || Fail();
}

bool SerialGetSettings(SerialPort* port, SerialSettings* settings) {
    DCB state;
    memset(&state, 0, sizeof(state));
    state.DCBlength = sizeof(DCB);
    if (!GetCommState(port->handle, &state)) {
        return Fail();
    }
    port->state = state;
    settings->BaudRate = static_cast<int32_t>(state.BaudRate);
    settings->ByteSize = state.ByteSize;
    settings->Parity = state.Parity;
    settings->StopBits = state.StopBits;
    settings->fOutxCtsFlow = state.fOutxCtsFlow != 0;
    settings->fOutxDsrFlow = state.fOutxDsrFlow != 0;
    settings->fDtrControl = static_cast<uint8_t>(state.fDtrControl);
    settings->fDsrSensitivity = state.fDsrSensitivity != 0;
    settings->fOutX = state.fOutX != 0;
    settings->fInX = state.fInX != 0;
    settings->fRtsControl = static_cast<uint8_t>(state.fRtsControl);
    return true;
}

// Changes only the loaders' fields of the record last read; the rest stays as reported.
bool SerialSetSettings(SerialPort* port, const SerialSettings& settings) {
    DCB state = port->state;
    state.DCBlength = sizeof(DCB);
    state.BaudRate = static_cast<DWORD>(settings.BaudRate);
    state.ByteSize = settings.ByteSize;
    state.Parity = settings.Parity;
    state.StopBits = settings.StopBits;
    state.fOutxCtsFlow = settings.fOutxCtsFlow ? 1 : 0;
    state.fOutxDsrFlow = settings.fOutxDsrFlow ? 1 : 0;
    state.fDtrControl = settings.fDtrControl & 3;
    state.fDsrSensitivity = settings.fDsrSensitivity ? 1 : 0;
    state.fOutX = settings.fOutX ? 1 : 0;
    state.fInX = settings.fInX ? 1 : 0;
    state.fRtsControl = settings.fRtsControl & 3;
    if (!SetCommState(port->handle, &state)) {
        return Fail();
    }
    port->state = state;
    return true;
}

bool SerialSetRts(SerialPort* port, bool on) {
    return EscapeCommFunction(port->handle, on ? SETRTS : CLRRTS) || Fail();
}

bool SerialGetCts(SerialPort* port, bool* on) {
    DWORD status = 0;
    if (!GetCommModemStatus(port->handle, &status)) {
        return Fail();
    }
    *on = (status & MS_CTS_ON) != 0;
    return true;
}

bool SerialQueuedInput(SerialPort* port, uint32_t* count) {
    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof(status));
    if (!ClearCommError(port->handle, &errors, &status)) {
        return Fail();
    }
    *count = status.cbInQue;
    return true;
}

bool SerialRead(SerialPort* port, uint8_t* byte, uint32_t* got) {
    DWORD n = 0;
    *got = 0;
    if (!ReadFile(port->handle, byte, 1, &n, nullptr)) {
        return Fail();
    }
    *got = n;
    return true;
}

bool SerialWrite(SerialPort* port, uint8_t byte, uint32_t* written) {
    DWORD n = 0;
    *written = 0;
    if (!WriteFile(port->handle, &byte, 1, &n, nullptr)) {
        return Fail();
    }
    *written = n;
    return true;
}

// A local line answers at once.
void SerialGetDelays(SerialPort*, SerialDelays* delays) {
    *delays = SerialDelays();
}

int SerialLastError() {
    return LastError;
}

// Only a network serial server refuses, and Windows opens none.
const SerialOpenRefusal& SerialLastRefusal() {
    static const SerialOpenRefusal none;
    return none;
}
