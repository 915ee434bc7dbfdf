// A serial port behind a network serial server: the glue between the port calls and the
// RFC 2217 client.
#include <errno.h>

#include <string>

#include "platform/rfc2217_client.h"
#include "platform/serial_posix_internal.h"

namespace {

constexpr char kNetworkPrefix[] = "rfc2217://";

bool NetPurge(SerialPort* port, uint32_t purgeFlags) {
    return Rfc2217Purge(port->connection, purgeFlags);
}

// The server keeps no settings record to read back: the last one set is the port's.
bool NetGetSettings(SerialPort* port, SerialSettings* settings) {
    *settings = port->settings;
    return true;
}

bool NetSetSettings(SerialPort* port, const SerialSettings& settings) {
    if (!Rfc2217Apply(port->connection, settings)) {
        return false;
    }
    port->settings = settings;
    return true;
}

bool NetSetRts(SerialPort* port, bool on) {
    return Rfc2217SetRts(port->connection, on);
}

bool NetGetCts(SerialPort* port, bool* on) {
    return Rfc2217GetCts(port->connection, on);
}

bool NetQueuedInput(SerialPort* port, uint32_t* count) {
    return Rfc2217QueuedInput(port->connection, count);
}

bool NetRead(SerialPort* port, uint8_t* byte, uint32_t* got, uint64_t timeoutMs) {
    return Rfc2217Read(port->connection, byte, got, timeoutMs);
}

bool NetWrite(SerialPort* port, uint8_t byte, uint32_t* written, uint64_t timeoutMs) {
    const bool ctsFlow = port->settings.fOutxCtsFlow;
    return Rfc2217WriteQueued(port->connection, byte, written, ctsFlow, timeoutMs);
}

bool NetFlushOutput(SerialPort* port) {
    return Rfc2217Flush(port->connection);
}

void NetReleaseLinesForExit(SerialPort* port) {
    Rfc2217ReleaseLinesForExit(port->connection);
}

const SerialOps kNetworkOps = {NetPurge,       NetGetSettings,        NetSetSettings, NetSetRts,
                               NetGetCts,      NetQueuedInput,        NetRead,        NetWrite,
                               NetFlushOutput, NetReleaseLinesForExit};

constexpr int kMaxLookMs = 60000;

// A decimal number of at most `digits` digits within [low, high].
bool NumberIn(const std::string& text, size_t digits, int low, int high, int* number) {
    if (text.empty() || text.size() > digits ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *number = std::stoi(text);
    return *number >= low && *number <= high;
}

// A port number, 1 to 65535: a name or a wider number would reach another service.
bool IsPortNumber(const std::string& text) {
    int number = 0;
    return NumberIn(text, 5, 1, 65535, &number);
}

// The entry's options, "name=value" joined by '&'. Only "poll-ms": the server's look period
// (0: it reports line changes as they happen). Anything else is an error, so that a mistyped
// option is not silently ignored.
bool ParseOptions(const std::string& query, int* lookMs) {
    size_t start = 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        const std::string option =
            query.substr(start, end == std::string::npos ? end : end - start);
        const std::string name = "poll-ms=";
        if (option.rfind(name, 0) != 0) {
            return false;
        }
        if (!NumberIn(option.substr(name.size()), 5, 0, kMaxLookMs, lookMs)) {
            return false;
        }
        start = end == std::string::npos ? query.size() : end + 1;
    }
    return true;
}

}  // namespace

// "rfc2217://HOST:PORT[?poll-ms=N]", HOST possibly "[v6 address]", anything after a '/'
// before the options ignored.
SerialPort* NetworkOpen(const char* unixPath, const std::string& url) {
    std::string host, service;
    int lookMs = kLookFromMask;
    if (unixPath == nullptr) {
        std::string rest = url.substr(sizeof(kNetworkPrefix) - 1);
        const size_t question = rest.find('?');
        if (question != std::string::npos) {
            if (!ParseOptions(rest.substr(question + 1), &lookMs)) {
                SerialFail(EINVAL);
                return nullptr;
            }
            rest = rest.substr(0, question);
        }
        rest = rest.substr(0, rest.find('/'));
        size_t colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0 || !IsPortNumber(rest.substr(colon + 1))) {
            SerialFail(EINVAL);
            return nullptr;
        }
        host = rest.substr(0, colon);
        service = rest.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
        }
    }
    Rfc2217Connection* connection = Rfc2217Open(unixPath, host.c_str(), service.c_str());
    if (connection == nullptr) {
        return nullptr;
    }
    Rfc2217SetLookPeriod(connection, lookMs);
    SerialPort* port = new SerialPort;
    port->ops = &kNetworkOps;
    port->connection = connection;
    port->settings.BaudRate = 38400;
    return port;
}

bool IsNetworkUrl(const char* text) {
    return std::string(text).rfind(kNetworkPrefix, 0) == 0;
}
