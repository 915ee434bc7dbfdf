// Calls of the trace that only the tests make.
#pragma once

#include <cstdint>

// The size the trace file may reach (64 MB until changed; ResetTraceState restores it).
void TraceSetSizeBound(uint64_t bytes);
