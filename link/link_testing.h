// Calls of the link that only the in-process tests make; no product file but the link's
// own calls them.
#pragma once

// Puts the link's process-wide state back as at process start, the trace's included.
void ResetSerialDriverState();
// Forgets the trace.
void ResetTraceState();
