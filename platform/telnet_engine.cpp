// Telnet parsing and option negotiation shared by both ends of the network serial line.
#include "platform/telnet_engine.h"

namespace {

void Queue3(TelnetEngine* t, uint8_t verb, uint8_t option) {
    t->out.push_back(static_cast<char>(kIac));
    t->out.push_back(static_cast<char>(verb));
    t->out.push_back(static_cast<char>(option));
}

// Option negotiation after RFC 1143: only a request that changes an option's state is
// answered, so two peers can never loop; an unwanted option is refused once.
void Negotiate(TelnetEngine* t, TelnetRx verb, uint8_t option) {
    const bool local = verb == TelnetRx::Do || verb == TelnetRx::Dont;
    const bool enable = verb == TelnetRx::Do || verb == TelnetRx::Will;
    bool* on = local ? t->localOn : t->remoteOn;
    bool* asked = local ? t->localAsked : t->remoteAsked;
    bool* refused = local ? t->localRefused : t->remoteRefused;
    const bool wanted = local ? t->localWanted[option] : t->remoteWanted[option];
    const uint8_t yes = local ? kWill : kDo;
    const uint8_t no = local ? kWont : kDont;
    if (enable && !wanted) {
        if (!refused[option]) {
            refused[option] = true;
            Queue3(t, no, option);
        }
        return;
    }
    if (on[option] != enable && !asked[option]) {
        Queue3(t, enable ? yes : no, option);
    }
    on[option] = enable;
    asked[option] = false;
}

void Feed(TelnetEngine* t, uint8_t byte) {
    const TelnetHandlers& h = t->handlers;
    switch (t->rx) {
        case TelnetRx::Data:
            if (byte == kIac) {
                t->rx = TelnetRx::Iac;
            } else if (h.Data != nullptr) {
                h.Data(h.context, byte);
            }
            break;
        case TelnetRx::Iac:
            t->rx = TelnetRx::Data;
            if (byte == kIac) {
                if (h.Data != nullptr) {
                    h.Data(h.context, byte);
                }
            } else if (byte == kWill) {
                t->rx = TelnetRx::Will;
            } else if (byte == kWont) {
                t->rx = TelnetRx::Wont;
            } else if (byte == kDo) {
                t->rx = TelnetRx::Do;
            } else if (byte == kDont) {
                t->rx = TelnetRx::Dont;
            } else if (byte == kSb) {
                t->sub.clear();
                t->rx = TelnetRx::Sub;
            }
            break;  // other commands (NOP, GA, ...) carry nothing for us
        case TelnetRx::Will:
        case TelnetRx::Wont:
        case TelnetRx::Do:
        case TelnetRx::Dont: {
            static const uint8_t kVerbs[] = {kWill, kWont, kDo, kDont};
            const TelnetRx verb = t->rx;
            t->rx = TelnetRx::Data;
            Negotiate(t, verb, byte);
            if (h.Negotiation != nullptr) {
                h.Negotiation(h.context,
                              kVerbs[static_cast<int>(verb) - static_cast<int>(TelnetRx::Will)],
                              byte);
            }
            break;
        }
        case TelnetRx::Sub:
            if (byte == kIac) {
                t->rx = TelnetRx::SubIac;
            } else if (t->sub.size() < t->subLimit) {
                t->sub.push_back(byte);
            }
            break;
        case TelnetRx::SubIac:
            if (byte == kIac) {
                if (t->sub.size() < t->subLimit) {
                    t->sub.push_back(byte);
                }
                t->rx = TelnetRx::Sub;
            } else {
                // IAC SE, or a malformed end: either way the subnegotiation is over.
                t->rx = TelnetRx::Data;
                if (h.Subnegotiation != nullptr) {
                    h.Subnegotiation(h.context, t->sub);
                }
            }
            break;
    }
}

}  // namespace

void TelnetInit(TelnetEngine* t, std::initializer_list<uint8_t> local,
                std::initializer_list<uint8_t> remote, size_t subLimit,
                const TelnetHandlers& handlers) {
    *t = TelnetEngine();
    for (uint8_t option : local) {
        t->localWanted[option] = true;
    }
    for (uint8_t option : remote) {
        t->remoteWanted[option] = true;
    }
    t->subLimit = subLimit;
    t->handlers = handlers;
}

void TelnetReceive(TelnetEngine* t, const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        Feed(t, data[i]);
    }
}

void TelnetAsk(TelnetEngine* t, uint8_t verb, uint8_t option) {
    if (verb == kWill) {
        t->localAsked[option] = true;
    } else {
        t->remoteAsked[option] = true;
    }
    Queue3(t, verb, option);
}

void TelnetQueueData(TelnetEngine* t, uint8_t byte) {
    t->out.push_back(static_cast<char>(byte));
    if (byte == kIac) {
        t->out.push_back(static_cast<char>(kIac));
    }
}

void TelnetQueueCommand(TelnetEngine* t, uint8_t command, const uint8_t* value, size_t length) {
    const char head[] = {static_cast<char>(kIac), static_cast<char>(kSb),
                         static_cast<char>(kOptComPort), static_cast<char>(command)};
    t->out.append(head, sizeof head);
    for (size_t i = 0; i < length; ++i) {
        TelnetQueueData(t, value[i]);
    }
    t->out.push_back(static_cast<char>(kIac));
    t->out.push_back(static_cast<char>(kSe));
}

void ComPortPutBaud(uint32_t baud, uint8_t value[4]) {
    for (int i = 0; i < 4; ++i) {
        value[i] = static_cast<uint8_t>(baud >> (24 - 8 * i));
    }
}

uint32_t ComPortGetBaud(const uint8_t value[4]) {
    return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) |
           value[3];
}
