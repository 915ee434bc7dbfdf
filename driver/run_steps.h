// The run both loaders share: banner, settings, command line, program name, lane files,
// connection, the loader's own download and the closing lines.
#pragma once

#include <cstdint>
#include <cstdio>

#include "driver/names.h"
#include "driver/packet.h"
#include "driver/settings.h"

// What one loader adds to the shared run.
struct LoaderRun {
    void (*printUsage)();               // usage text with the current settings
    const LoaderSetting* setting;       // nullptr: PORT and BAUD only
    const char* title = "";             // banner title
    const char* startName = "";         // start path when the process was given none
    uint8_t syncByte = 0;               // the byte its firmware answers the sync with
    void (*beforeOpen)() = nullptr;     // after the lane file names are formed (may be null)
    void (*beforeRecords)() = nullptr;  // on the connected target (may be null)
    RecordSender sendRecord = nullptr;  // one record as one packet
    void (*afterRecords)() = nullptr;   // after the last record (may be null)
};

// The whole run; every way out ends the process.
[[noreturn]] void RunLoader(const LoaderRun& run, int argc, char** argv);

// Prints a banner line: "\n" + title + " V 3.0 " + copyright + "\n\n".
void PrintBanner(const char* title);

// Opens the four lane files in lane order, printing "Loading File: ..." after each.
void OpenLaneFiles(FILE* lanes[kLaneCount]);

// Opens the port, connects, prints the connection lines, saves changed settings and drains
// stale input. Returns the clock reading at which the download time starts.
uint32_t ConnectForDownload(const LoaderRun& run);

// Closing lines after the download: the entry address, closing the lane files, download
// time, the end of the run with code 0.
[[noreturn]] void FinishDownload(FILE* lanes[kLaneCount], uint32_t entryAddress,
                                 uint32_t downloadStartMs);
