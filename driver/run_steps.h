// The run both loaders share: banner, settings, command line, program name, lane files,
// connection, the loader's own download and the closing lines.
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/names.h"
#include "driver/settings.h"

// What one loader adds to the shared run.
struct LoaderRun {
    const char* title;                 // banner title
    const char* startName;             // start path when the process was given none
    const LoaderKind* kind;            // settings and usage
    void (*beforeOpen)();              // after the lane file names are formed (may be null)
    void (*download)(FILE* lanes[4]);  // on the connected target
};

// The whole run; every way out ends the process.
[[noreturn]] void RunLoader(const LoaderRun& run, int argc, char** argv);

// Prints a banner line: "\n" + title + " V 3.0 " + copyright + "\n\n".
void PrintBanner(const char* title);

// Opens the four lane files in lane order, printing "Loading File: ..." after each.
void OpenLaneFiles(FILE* lanes[4]);

// Opens the port, connects, prints the connection lines, saves changed settings and drains
// stale input. Returns the clock reading at which the download time starts.
uint32_t ConnectForDownload(const LoaderKind& kind);

// Closing lines after the download: start address, closing the lane files, download time;
// then ExitLoader(0).
[[noreturn]] void FinishDownload(FILE* lanes[4], uint32_t downloadStartMs);

// Puts the driver state back as at process start (for in-process tests).
void ResetDriverState();
