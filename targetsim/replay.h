// tavsim --replay: the board's side of a loader's trace (TAVLOADER_TRACE) played back in
// place of the firmware model. Once the host has sent the bytes that came before them in the
// trace, the board's bytes follow at once, but for those the host got only after a read had
// timed out: they keep their recorded distance. CTS keeps the level of the host's first look
// until that look, then each change comes 100 ms after the one before. The first host byte
// that differs from the trace is logged with the trace lines around it, and the board answers
// nothing more.
#pragma once

#include <string>

// True when the file can be played: readable, with at least one trace line. Else false
// with the reason.
bool ReplayCheck(const std::string& path, std::string* why);
