// A serial port behind a network serial server: the glue between the port calls and the
// RFC 2217 client.
#include <errno.h>

#include <string>

#include "platform/rfc2217_client.h"
#include "platform/serial_posix_internal.h"

namespace {

constexpr char kNetworkPrefix[] = "rfc2217://";

bool NetPurge(SerialPort* port, uint32_t purgeFlags) {
    int error = 0;
    return Rfc2217Purge(port->connection, purgeFlags, &error) || SerialFail(error);
}

// The server keeps no settings record to read back: the last one set is the port's.
bool NetGetSettings(SerialPort* port, SerialSettings* settings) {
    *settings = port->settings;
    return true;
}

bool NetSetSettings(SerialPort* port, const SerialSettings& settings) {
    int error = 0;
    if (!Rfc2217Apply(port->connection, settings, &error)) {
        return SerialFail(error);
    }
    port->settings = settings;
    return true;
}

bool NetSetRts(SerialPort* port, bool on) {
    int error = 0;
    return Rfc2217SetRts(port->connection, on, &error) || SerialFail(error);
}

bool NetGetCts(SerialPort* port, bool* on) {
    int error = 0;
    return Rfc2217GetCts(port->connection, on, &error) || SerialFail(error);
}

bool NetQueuedInput(SerialPort* port, uint32_t* count) {
    int error = 0;
    return Rfc2217QueuedInput(port->connection, count, &error) || SerialFail(error);
}

bool NetRead(SerialPort* port, uint8_t* byte, uint32_t* got, uint64_t timeoutMs) {
    int error = 0;
    return Rfc2217Read(port->connection, byte, got, timeoutMs, &error) || SerialFail(error);
}

bool NetWrite(SerialPort* port, uint8_t byte, uint32_t* written, uint64_t timeoutMs) {
    int error = 0;
    const bool ctsFlow = port->settings.fOutxCtsFlow;
    return Rfc2217WriteQueued(port->connection, byte, written, ctsFlow, timeoutMs, &error) ||
           SerialFail(error);
}

bool NetFlushOutput(SerialPort* port) {
    int error = 0;
    return Rfc2217FlushOutput(port->connection, &error) || SerialFail(error);
}

void NetReleaseLinesForExit(SerialPort* port) {
    Rfc2217ReleaseLinesForExit(port->connection);
}

const SerialOps kNetworkOps = {NetPurge,       NetGetSettings,        NetSetSettings, NetSetRts,
                               NetGetCts,      NetQueuedInput,        NetRead,        NetWrite,
                               NetFlushOutput, NetReleaseLinesForExit};

// A port number, 1 to 65535: a name or a wider number would reach another service.
bool IsPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const int number = std::stoi(text);
    return number >= 1 && number <= 65535;
}

}  // namespace

// "rfc2217://HOST:PORT", HOST possibly "[v6 address]", anything after a '/' ignored.
SerialPort* NetworkOpen(const char* unixPath, const std::string& url) {
    std::string host, service;
    if (unixPath == nullptr) {
        std::string rest = url.substr(sizeof(kNetworkPrefix) - 1);
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
    int error = 0;
    Rfc2217Connection* connection = Rfc2217Open(unixPath, host.c_str(), service.c_str(), &error);
    if (connection == nullptr) {
        SerialFail(error);
        return nullptr;
    }
    SerialPort* port = new SerialPort;
    port->ops = &kNetworkOps;
    port->connection = connection;
    port->settings.BaudRate = 38400;
    return port;
}

bool IsNetworkUrl(const char* text) {
    return std::string(text).rfind(kNetworkPrefix, 0) == 0;
}
