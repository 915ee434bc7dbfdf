// Calls of the driver that only the in-process tests make.
#pragma once

// Puts the state of a run back as at process start: the run state, names, byte count, the
// link and the reader.
void ResetDriverState();
