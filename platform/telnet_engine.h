// One Telnet stream with Com Port Control (RFC 2217), for both ends: the network serial
// client and the simulated board's server. It parses what the peer sent and keeps the
// option state; every byte for the peer (replies, commands, data) is only queued in `out`,
// which its owner sends when parsing is done, so parsing never waits on the socket and
// never runs again from inside a send. No OS calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/telnet_comport.h"

// What the owner hears of the stream; any pointer may be null.
struct TelnetHandlers {
    void* context = nullptr;
    void (*Data)(void* context, uint8_t byte) = nullptr;
    // A complete subnegotiation: option, then its bytes with IAC doubling undone.
    void (*Subnegotiation)(void* context, const std::vector<uint8_t>& sub) = nullptr;
    // A WILL, WONT, DO or DONT received, after the option state took it in.
    void (*Negotiation)(void* context, uint8_t verb, uint8_t option) = nullptr;
};

enum class TelnetRx : uint8_t { Data, Iac, Will, Wont, Do, Dont, Sub, SubIac };

struct TelnetEngine {
    TelnetHandlers handlers;
    size_t subLimit = 64;  // longer subnegotiations are cut (nothing we use is longer)
    TelnetRx rx = TelnetRx::Data;
    std::vector<uint8_t> sub;
    // Per option and direction (local: we do it; remote: the peer does it).
    bool localWanted[256] = {};
    bool remoteWanted[256] = {};
    bool localOn[256] = {};
    bool localAsked[256] = {};
    bool localRefused[256] = {};
    bool remoteOn[256] = {};
    bool remoteAsked[256] = {};
    bool remoteRefused[256] = {};
    std::string out;  // bytes for the peer, not sent yet
};

// Options we agree to do ourselves (`local`) and to let the peer do (`remote`).
void TelnetInit(TelnetEngine* t, std::initializer_list<uint8_t> local,
                std::initializer_list<uint8_t> remote, size_t subLimit,
                const TelnetHandlers& handlers);
// Parses bytes from the peer; the work is linear in `length`.
void TelnetReceive(TelnetEngine* t, const uint8_t* data, size_t length);
// Asks for an option: kWill (we do it) or kDo (the peer does it).
void TelnetAsk(TelnetEngine* t, uint8_t verb, uint8_t option);
void TelnetQueueData(TelnetEngine* t, uint8_t byte);
// IAC SB COM-PORT-OPTION command value IAC SE, with IAC in the value doubled.
void TelnetQueueCommand(TelnetEngine* t, uint8_t command, const uint8_t* value, size_t length);

// SET-BAUDRATE values: four bytes, most significant first.
void ComPortPutBaud(uint32_t baud, uint8_t value[4]);
uint32_t ComPortGetBaud(const uint8_t value[4]);
