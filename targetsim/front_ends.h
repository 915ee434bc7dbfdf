// The transports tavsim offers; each lives in a file of its own and serves one host at a
// time through the shared loop (sim_core.h).
#pragma once

#include <string>

#include "targetsim/sim_core.h"

// RFC 2217 (Telnet Com Port Control) on a Unix-domain socket and/or 127.0.0.1:*tcpPort
// (*tcpPort 0 picks a free port and returns it; negative: no TCP). False after printing why.
bool Rfc2217Listen(const std::string& socketPath, int* tcpPort, std::string* where);
const SimFrontEnd& Rfc2217FrontEnd();

// A pty: LINK becomes a symlink to its slave, the modem lines live in the state file at
// linesPath (made afresh and held for the run; see ptylines_state.h). False after printing
// why: also when another tavsim holds that file.
bool PtyOpen(const std::string& link, const std::string& linesPath, std::string* where);
const SimFrontEnd& PtyFrontEnd();
