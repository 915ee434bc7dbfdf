// The flash loader's download mode (DownloadMode): Save ('s', wait for every echo) or Fast
// ('f', a whole packet before its echoes). Kept in the settings file as MODE and set by -M.
#pragma once

#include "driver/settings.h"

// The MODE line and the -M option, as the driver takes them.
extern const LoaderSetting kDownloadModeSetting;
