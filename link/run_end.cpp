// The one way a run ends: the closing message on standard output and in the trace, the
// loader's clean-up step when one is due, the line released, the exit code.
#include <cstdio>
#include <string>

#include "link/link.h"
#include "link/trace.h"

CleanupStep CleanupDue = nullptr;

void EndRunV(int32_t code, CleanupStep cleanup, const char* format, va_list args) {
    if (format != nullptr) {
        va_list copy;
        va_copy(copy, args);
        const int length = vsnprintf(nullptr, 0, format, copy);
        va_end(copy);
        std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
        vsnprintf(&text[0], text.size() + 1, format, args);
        fputs(text.c_str(), stdout);
        TraceMessage(text);
    }
    if (cleanup != nullptr) {
        cleanup();
    }
    ExitLoader(code);
}

void EndRun(int32_t code, CleanupStep cleanup, const char* format, ...) {
    va_list args;
    va_start(args, format);
    EndRunV(code, cleanup, format, args);
}
