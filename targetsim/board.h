// Model of the target board as seen from its serial line: the firmware's reset, sync, RAM
// download and flash download behaviour. Bytes and modem lines go in, bytes and CTS come
// out; time is given by the caller in microseconds (wall clock in tavsim, a virtual clock
// in the in-process tests), so the model never sleeps or reads a clock itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct BoardOptions {
    int32_t baud = 115200;  // the firmware's own rate: 38400 or 115200
    // Each byte takes 10 bits at the line rate, both ways. Off: bytes arrive at once.
    bool pacing = false;
    // CTS rises this long after the RTS pulse; the host first looks 50 ms after its pulse
    // and must find CTS still off then.
    uint64_t readyDelayUs = 150000;
    std::string flashFolder;  // where stored programs are kept; empty: in memory only
    uint32_t flashCapacityWords = 1u << 20;

    // Faults for tests (0 = off unless said otherwise).
    int32_t answerPair = 1;        // answer only the n-th sync pair received at the own rate
    bool ctsNeverRises = false;    // CTS stays off after the reset
    bool ctsStuckOn = false;       // CTS stays on: never drops after the RTS pulse
    uint64_t ctsLateUs = 0;        // extra delay before CTS rises
    int32_t noiseAfterSync = 0;    // this many 0x00 bytes sent right after the sync answer
    int32_t junkAfterSync = 0;     // this many arbitrary bytes sent right after the answer
    bool answerWithNoise = false;  // answer the sync pair with 0x00 instead of the sync byte
    // RAM firmware (packets counted from 1, the start packet included).
    int32_t ramWrongChecksumAt = 0;  // answer packet k with a wrong checksum
    int32_t ramSilentFrom = 0;       // stop answering from packet k on
    // Flash firmware.
    int64_t flashCorruptEchoAt = 0;    // corrupt the echo of the k-th byte received (from 1)
    int32_t flashWrongChecksumAt = 0;  // wrong checksum for packet k (start-download = 1)
    int32_t flashResultAt = 0;         // packet k gets result flashResultValue
    int32_t flashResultValue = 0;
    int32_t flashEndStatus = 4;   // status sent after the end-download command
    int32_t flashFillers = 0;     // 0x7F / 0xFF fillers sent where the protocol allows
    int64_t flashSilentFrom = 0;  // stop sending from the k-th byte received (from 1)

    // A loader's trace played back instead of the firmware (the faults above then do
    // nothing); at once: also the bytes the host got only after a read had timed out.
    std::string replayPath;
    bool replayAtOnce = false;
};

// A program kept in the simulated flash.
struct StoredProgram {
    std::string name;
    uint8_t stamp[7] = {};  // day, month, year, hour, minute, second, and the trailing value
    std::map<uint32_t, uint32_t> words;  // 24-bit address -> word
    uint32_t entryAddress = 0;
};

struct Board;

Board* BoardCreate(const BoardOptions& options);
void BoardDestroy(Board* board);

// The line rate the host's port is set to now (bytes at another rate become garbage).
void BoardSetHostBaud(Board* board, int32_t baud, uint64_t nowUs);
void BoardSetRts(Board* board, bool on, uint64_t nowUs);
// A byte the host put on the line at `nowUs`.
void BoardReceiveByte(Board* board, uint8_t byte, uint64_t nowUs);
bool BoardCts(Board* board, uint64_t nowUs);
// The next byte the host will receive and the time it has fully arrived; false when none.
bool BoardPeekOutput(Board* board, uint8_t* byte, uint64_t* readyAtUs);
void BoardPopOutput(Board* board);
// Output bytes not taken yet, on their way or waiting.
size_t BoardOutputCount(const Board* board);
// Drops every output byte that has arrived by `nowUs` (a purge of the host's input).
void BoardDiscardOutput(Board* board, uint64_t nowUs);

// What the board holds now.
const std::map<uint32_t, uint32_t>& BoardRam(const Board* board);  // RAM: address -> word
bool BoardRamStarted(const Board* board, uint32_t* entryAddress);
std::vector<StoredProgram> BoardFlashPrograms(const Board* board);
bool BoardFlashStarted(const Board* board, std::string* programName);
// One line per event the board saw (reset, sync, packets, faults), for logs and tests.
const std::vector<std::string>& BoardLog(const Board* board);
// Forgets the lines logged so far (a server writes them out and keeps none).
void BoardClearLog(Board* board);
