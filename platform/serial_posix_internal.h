// Inside the POSIX serial backend: one table of operations per kind of port, chosen once
// when the port opens (a tty through termios, or a network serial server).
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/serial_port.h"

struct Rfc2217Connection;

struct SerialOps {
    bool (*Purge)(SerialPort* port, uint32_t purgeFlags);
    bool (*GetSettings)(SerialPort* port, SerialSettings* settings);
    bool (*SetSettings)(SerialPort* port, const SerialSettings& settings);
    bool (*SetRts)(SerialPort* port, bool on);
    bool (*GetCts)(SerialPort* port, bool* on);
    bool (*QueuedInput)(SerialPort* port, uint32_t* count);
    // One byte each, waiting up to timeoutMs (kNoLimit: no limit).
    bool (*Read)(SerialPort* port, uint8_t* byte, uint32_t* got, uint64_t timeoutMs);
    bool (*Write)(SerialPort* port, uint8_t byte, uint32_t* written, uint64_t timeoutMs);
    // Sends what writes left waiting (a network port coalesces them); null: nothing waits.
    bool (*FlushOutput)(SerialPort* port);
    // Flow control off and RTS low for the exit on Ctrl-C: async-signal-safe calls only.
    void (*ReleaseLinesForExit)(SerialPort* port);
};

struct SerialPort {
    const SerialOps* ops = nullptr;
    int fd = -1;                              // a tty
    Rfc2217Connection* connection = nullptr;  // a network serial server
    SerialTimeouts timeouts;
    SerialSettings settings;
    SerialPort* older = nullptr;  // ports live until the process ends
};

// Records the error for SerialLastError (EIO when 0); returns false.
bool SerialFail(int error);
// Records a server's refusal for SerialLastRefusal and the error; returns false.
bool SerialRefuse(const SerialOpenRefusal& refusal, int error);

// The tty `name` in `folder` (AT_FDCWD: a path); nullptr after SerialFail.
SerialPort* TermiosOpen(int folder, const char* name);
// True for a symlink target "rfc2217://...".
bool IsNetworkUrl(const char* text);
// `unixPath` non-null: a Unix-domain socket; else `url`, "rfc2217://HOST:PORT".
SerialPort* NetworkOpen(const char* unixPath, const std::string& url);
