// The trace of a run, written when TAVLOADER_TRACE names a file: one event a line, the time
// in microseconds since the program started, then '>' for bytes written, '<' for bytes read
// (hex pairs; one direction within a millisecond shares a line), '!' for anything else the
// line did and '#' for the header. tavsim --replay plays the board's side of it back.
#pragma once

#include <cstdint>
#include <string>

extern bool TraceOn;  // tested before every byte, so tracing off costs a compare

// Opens the file TAVLOADER_TRACE names: a regular file that no other run holds, never
// through a link at that name (anything else gives one warning line on standard error, and
// the run goes on untraced). `tool` heads the header line. A write that fails gives the same
// warning and stops the trace; so does its size bound, with a last line that says so.
void TraceStart(const char* tool, int argc, char** argv);
// For the header: the settings as the run found them, and the COM entry it opens.
void TraceSetSettings(const std::string& text);
void TraceSetPortEntry(const char* text);

void TraceByte(char direction, uint8_t byte);
void TraceEvent(const char* format, ...);
// A CTS level the tool saw; only changes (and the first look) are written.
void TraceCts(bool on);
// The message the run ends with, kept as a C string literal.
void TraceMessage(const std::string& text);
// The last line of a run that ends by itself: "exit CODE"; the trace is then complete.
void TraceEnd(int code);

// The tool may wait: what the trace holds goes to the file when the last write is a second
// old, and the next byte looks at the clock (bytes in a row look only now and then).
extern bool TraceWaited;
void TraceBeforeWait();
inline void TraceWait() {
    TraceWaited = true;
    if (TraceOn) {
        TraceBeforeWait();
    }
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
