// The flash loader's download mode: Save ('s', wait for every echo) or Fast ('f', a whole
// packet before its echoes). Kept in the settings file as MODE and set by -M.
#pragma once

#include <cstdint>

#include "driver/settings.h"

constexpr int32_t kSaveMode = 's';
constexpr int32_t kFastMode = 'f';

// The run's mode; the flash protocol reads it for every data record (any value but Save
// counts as Fast).
extern int32_t DownloadMode;

// The MODE line and the -M option, as the driver takes them.
extern const LoaderSetting kDownloadModeSetting;
