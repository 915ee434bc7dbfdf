// The MODE settings line and the -M option of the flash loader.
#include "flashloader/download_mode.h"

#include "driver/names.h"

int32_t DownloadMode = kSaveMode;

namespace {

bool IsKnownMode(int32_t mode) {
    return mode == kSaveMode || mode == kFastMode;
}

void ApplyModeOption(const char* text) {
    if (text[0] != '\0') {
        DownloadMode = LowerAscii(text[0]);
        if (!IsKnownMode(DownloadMode)) {
            DownloadMode = kSaveMode;
        }
    }
}

bool ReadModeLine(SettingsText* in) {
    DownloadMode = kSaveMode;  // a run without the line loads in Save mode
    bool rewrite = false;
    if (in != nullptr) {
        char mode = 0;
        const int result = ScanCharLine(in, "MODE=", &mode);
        if (result == 1) {
            DownloadMode = static_cast<unsigned char>(mode);
        } else if (result == 0) {
            rewrite = true;
        }
    }
    // Upper case is read as its letter without a rewrite.
    DownloadMode = LowerAscii(static_cast<char>(DownloadMode));
    if (!IsKnownMode(DownloadMode)) {
        DownloadMode = kSaveMode;
        rewrite = true;
    }
    return rewrite;
}

void WriteModeLine(FILE* file) {
    fprintf(file, "MODE=%c\n", static_cast<char>(DownloadMode));
}

}  // namespace

const LoaderSetting kDownloadModeSetting = {'m', ApplyModeOption, ReadModeLine, WriteModeLine};
