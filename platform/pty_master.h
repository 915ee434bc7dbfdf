// The master side of a pty, for a program that plays the far end of a serial line (the
// simulated board). POSIX only; the loaders never use it.
#pragma once

#include <cstdint>
#include <string>

// A new pty master, non-blocking and close-on-exec, with *slavePath its slave's name; -1
// on failure. Errors as system.h says: the code in errno.
int PtyMasterOpen(std::string* slavePath);

// Raw bytes both ways, receiver on, modem control ignored; the line keeps its rate. False
// (errno set) when the line cannot be read or set.
bool PtyMasterMakeRaw(int master);

// The line as the slave's side set it (the master shares it).
struct PtyMasterLine {
    int32_t baud = 0;        // 0: a rate termios has no name for
    bool handshake = false;  // RTS/CTS flow control on
};

// False (errno set) when the line cannot be read.
bool PtyMasterReadLine(int master, PtyMasterLine* line);
