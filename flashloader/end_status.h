// The status the flash firmware sends after the end-download command, behind any number of
// fillers: named once for the flash loader and the simulated board. Statuses 0 to 2 carry
// the number of the command whose step was not right.
#pragma once

#include <cstdint>

constexpr uint8_t kEndStatusStartDownload = 0x00;
constexpr uint8_t kEndStatusLoadStartAddress = 0x01;
constexpr uint8_t kEndStatusLoadData = 0x02;
constexpr uint8_t kEndStatusFlashFull = 0x03;  // more than 63 programs, or no room
constexpr uint8_t kEndStatusComplete = 0x04;
constexpr uint8_t kEndStatusFiller = 0xFF;  // no status: the next byte is read
