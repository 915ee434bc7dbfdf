// Telnet and Com Port Control (RFC 2217) codes, shared by the network serial client and the
// simulated board's server.
#pragma once

#include <cstdint>

// Telnet bytes and options.
constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;
constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptSga = 3;
constexpr uint8_t kOptComPort = 44;

// Com port commands (client to server; the server answers with the code + 100).
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaudrate = 1;
constexpr uint8_t kSetDatasize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopsize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyModemstate = 7;
constexpr uint8_t kFlowSuspend = 8;
constexpr uint8_t kFlowResume = 9;
constexpr uint8_t kSetModemstateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlXonXoff = 2;
constexpr uint8_t kControlHardwareFlow = 3;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;

// Modem state bits and PURGE-DATA values.
constexpr uint8_t kModemDeltaCts = 0x01;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemMaskAll = 0xFF;
constexpr uint8_t kPurgeReceive = 1;
constexpr uint8_t kPurgeTransmit = 2;
