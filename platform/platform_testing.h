// Calls of the OS layer that only the tests make. They are defined beside the calls they
// serve; no product file calls them.
#pragma once

#include <cstddef>
#include <cstdint>

// Resolves `name` as PlatformOpenRead would; writes the path that exists to `out`.
// Returns false (and copies `name`) when no match exists.
bool PlatformResolvePath(const char* name, char* out, size_t outSize);
// Closes the settings folder chosen last: settings files go by their paths again.
void PlatformForgetSettingsFolder();

// POSIX: the network serial client (rfc2217_client.h) without the send queue.
struct Rfc2217Connection;
// Rfc2217WriteQueued, then the queue sent at once.
bool Rfc2217Write(Rfc2217Connection* connection, uint8_t byte, uint32_t* written, bool ctsFlow,
                  uint64_t timeoutMs);
