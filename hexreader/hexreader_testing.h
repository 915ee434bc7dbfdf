// Calls of the reader that only the in-process tests make.
#pragma once

// Forgets the termination record read.
void ResetHexReader();
