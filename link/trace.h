// The trace of a run, written when TAVLOADER_TRACE names a file: one event a line, the time
// in microseconds since the program started, then '>' for bytes written, '<' for bytes read
// (hex pairs; one direction within a millisecond shares a line), '!' for anything else the
// line did and '#' for the header. tavsim --replay plays the board's side of it back.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

extern bool TraceOn;  // tested before every byte, so tracing off costs a compare

// Opens the file TAVLOADER_TRACE names (a file that cannot be written gives one warning
// line on standard error, and the run goes on untraced). `tool` heads the header line.
void TraceStart(const char* tool, int argc, char** argv);
// For the header: the settings as the run found them, and the COM entry it opens.
void TraceSetSettings(const std::string& text);
void TraceSetPortEntry(const char* text);

void TraceByte(char direction, uint8_t byte);
void TraceEvent(const char* format, ...);
// A CTS level the tool saw; only changes (and the first look) are written.
void TraceCts(bool on);

// The tool may have waited: the next byte looks at the clock (bytes in a row look only now
// and then).
extern bool TraceWaited;
inline void TraceWait() {
    TraceWaited = true;
}

inline void TraceWritten(uint8_t byte) {
    if (TraceOn) {
        TraceByte('>', byte);
    }
}
inline void TraceRead(uint8_t byte) {
    if (TraceOn) {
        TraceByte('<', byte);
    }
}

// Prints as printf does a message the run ends with; the trace keeps its text.
void PrintExitMessage(const char* format, ...);
void PrintExitMessageV(const char* format, va_list args);
