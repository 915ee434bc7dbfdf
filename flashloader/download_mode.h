// The flash loader's download mode: Save ('s', wait for every echo) or Fast ('f', a whole
// packet before its echoes). Kept in the settings file as MODE and set by -M.
#pragma once

#include <cstdint>

#include "driver/settings.h"

extern int32_t DownloadMode;  // 's' or 'f'

// The MODE line and the -M option, as the driver takes them.
extern const LoaderSetting kDownloadModeSetting;

// Puts the mode back as at process start (for in-process tests).
void ResetDownloadMode();
