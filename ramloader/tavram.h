// The RAM loader program.
#pragma once

// The whole run of the RAM loader; ends the process (through EndRun).
int TavramMain(int argc, char** argv);
