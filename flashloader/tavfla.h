// The flash loader's run, from the banner to the start of the stored program.
#pragma once

// Never returns: every way out ends the process.
int TavflaMain(int argc, char** argv);
