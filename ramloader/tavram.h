// The RAM loader program.
#pragma once

// The whole run of the RAM loader; ends the process (through PlatformExit or ExitLoader).
int TavramMain(int argc, char** argv);
