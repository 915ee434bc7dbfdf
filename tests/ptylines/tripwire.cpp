// Test aid, preloaded after libptylines.so in the refusal checks only: it stands where the
// real open functions would be, so a name the library lets through ends here with ENXIO
// instead of opening the machine's serial console.
#undef _FORTIFY_SOURCE

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <cerrno>

#define TRIPWIRE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::atomic<int> gHits;

int Trip() {
    gHits.fetch_add(1);
    errno = ENXIO;
    return -1;
}
}  // namespace

// Opens that got past the library; also tells the helper that the tripwire is in place.
TRIPWIRE_EXPORT int PtyLinesTripwireHits() {
    return gHits.load();
}

TRIPWIRE_EXPORT int open(const char*, int, ...) {
    return Trip();
}
TRIPWIRE_EXPORT int open64(const char*, int, ...) {
    return Trip();
}
TRIPWIRE_EXPORT int openat(int, const char*, int, ...) {
    return Trip();
}
TRIPWIRE_EXPORT int openat64(int, const char*, int, ...) {
    return Trip();
}
TRIPWIRE_EXPORT int __open_2(const char*, int) {
    return Trip();
}
TRIPWIRE_EXPORT int __open64_2(const char*, int) {
    return Trip();
}
TRIPWIRE_EXPORT int __openat_2(int, const char*, int) {
    return Trip();
}
TRIPWIRE_EXPORT int __openat64_2(int, const char*, int) {
    return Trip();
}
TRIPWIRE_EXPORT int creat(const char*, mode_t) {
    return Trip();
}
TRIPWIRE_EXPORT int creat64(const char*, mode_t) {
    return Trip();
}
TRIPWIRE_EXPORT FILE* fopen(const char*, const char*) {
    return Trip(), nullptr;
}
TRIPWIRE_EXPORT FILE* fopen64(const char*, const char*) {
    return Trip(), nullptr;
}
TRIPWIRE_EXPORT FILE* freopen(const char*, const char*, FILE*) {
    return Trip(), nullptr;
}
TRIPWIRE_EXPORT FILE* freopen64(const char*, const char*, FILE*) {
    return Trip(), nullptr;
}
