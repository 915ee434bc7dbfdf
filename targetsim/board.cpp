// Board model core: reset and CTS, line rates and pacing, the sync handshake, the output
// queue and what the board holds. The RAM and flash firmware live in their own files.
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"
#include "targetsim/board_internal.h"

namespace {

constexpr uint8_t kRamSync = 0x0F;
constexpr uint8_t kFlashSync = 0x7F;

// One byte is 10 bits on the line: start bit, 8 data bits, stop bit.
uint64_t ByteNs(int32_t baud) {
    return baud > 0 ? 10000000000ull / static_cast<uint64_t>(baud) : 0;
}

uint64_t NsToUsCeil(uint64_t ns) {
    return (ns + 999) / 1000;
}

int32_t HostBaudAt(const Board* board, uint64_t us) {
    // The history is never empty: it starts with the rate at creation.
    int32_t baud = board->hostBaudHistory.front().second;
    for (const auto& [at, rate] : board->hostBaudHistory) {
        if (at > us) {
            break;
        }
        baud = rate;
    }
    return baud;
}

// Keeps only the rate changes that output still waiting for the host may meet.
void PruneHostBaudHistory(Board* board) {
    auto& history = board->hostBaudHistory;
    if (history.size() <= 1) {
        return;
    }
    if (board->output.empty()) {
        history.erase(history.begin(), history.end() - 1);
        return;
    }
    const uint64_t firstUs = NsToUsCeil(board->output.front().readyNs);
    size_t keepFrom = 0;
    while (keepFrom + 1 < history.size() && history[keepFrom + 1].first <= firstUs) {
        ++keepFrom;
    }
    history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(keepFrom));
}

// The firmware takes bytes from the moment CTS would rise.
bool FirmwareReady(const Board* board, uint64_t ns) {
    return board->readyAtUs != kNoLimit && ns >= board->readyAtUs * 1000;
}

void NoteReadyOnce(Board* board, uint64_t nowNs) {
    if (board->readyLogged || !FirmwareReady(board, nowNs)) {
        return;
    }
    board->readyLogged = true;
    const uint64_t saved = board->eventNs;
    board->eventNs = board->readyAtUs * 1000;
    BoardNote(board, "firmware ready, CTS up");
    board->eventNs = saved;
}

void Reset(Board* board, uint64_t nowUs) {
    board->eventNs = nowUs * 1000;
    const BoardOptions& o = board->options;
    board->mode = BoardMode::Sync;
    board->pendingSync = -1;
    board->syncPairs = 0;
    board->ramStarted = false;
    board->flashStarted = false;
    board->flashStartedName.clear();
    RamFirmwareReset(board);
    FlashFirmwareReset(board);
    // Bytes still inside the board's transmitter are lost; what reached the host stays.
    while (!board->output.empty() && board->output.back().readyNs > board->eventNs) {
        board->output.pop_back();
    }
    board->outputFreeNs = board->eventNs;
    board->readyAtUs = o.ctsNeverRises ? kNoLimit : nowUs + o.readyDelayUs + o.ctsLateUs;
    board->readyLogged = false;
    if (o.ctsNeverRises) {
        BoardNote(board, "reset by RTS: CTS off and never rises (fault)");
    } else if (o.ctsStuckOn) {
        BoardNote(board, "reset by RTS: CTS stays on (fault), firmware ready in %llu us",
                  static_cast<unsigned long long>(o.readyDelayUs + o.ctsLateUs));
    } else if (o.ctsLateUs > 0) {
        BoardNote(board, "reset by RTS: CTS off, rises in %llu us (%llu us late, fault)",
                  static_cast<unsigned long long>(o.readyDelayUs + o.ctsLateUs),
                  static_cast<unsigned long long>(o.ctsLateUs));
    } else {
        BoardNote(board, "reset by RTS: CTS off, rises in %llu us",
                  static_cast<unsigned long long>(o.readyDelayUs));
    }
}

void SendAfterSync(Board* board, uint8_t answer) {
    const BoardOptions& o = board->options;
    BoardSend(board, answer);
    if (o.noiseAfterSync > 0) {
        BoardNote(board, "%d noise bytes 0x00 after the sync answer (fault)", o.noiseAfterSync);
        for (int32_t i = 0; i < o.noiseAfterSync; ++i) {
            BoardSend(board, 0x00);
        }
    }
    if (o.junkAfterSync > 0) {
        BoardNote(board, "%d junk bytes after the sync answer (fault)", o.junkAfterSync);
        uint32_t seed = 0x2545F491u;
        for (int32_t i = 0; i < o.junkAfterSync; ++i) {
            seed = seed * 1103515245u + 12345u;
            BoardSend(board, static_cast<uint8_t>(seed >> 16));
        }
    }
}

void SyncByteReceived(Board* board, uint8_t byte) {
    const BoardOptions& o = board->options;
    if (byte != kRamSync && byte != kFlashSync) {
        BoardNote(board, "byte 0x%02X ignored while waiting for sync", byte);
        board->pendingSync = -1;
        return;
    }
    if (board->pendingSync != byte) {
        board->pendingSync = byte;
        return;
    }
    board->pendingSync = -1;
    ++board->syncPairs;
    const int32_t wanted = o.answerPair > 1 ? o.answerPair : 1;
    if (board->syncPairs < wanted) {
        BoardNote(board,
                  "sync pair %d (0x%02X) at %d baud not answered: waiting for pair %d "
                  "(fault)",
                  board->syncPairs, byte, o.baud, wanted);
        return;
    }
    if (o.answerWithNoise) {
        BoardNote(board, "sync pair %d (0x%02X) at %d baud answered with noise 0x00 (fault)",
                  board->syncPairs, byte, o.baud);
        BoardSend(board, 0x00);
        return;
    }
    const bool ram = byte == kRamSync;
    BoardNote(board, "sync pair %d (0x%02X) answered at %d baud: %s firmware", board->syncPairs,
              byte, o.baud, ram ? "RAM" : "flash");
    SendAfterSync(board, byte);
    board->mode = ram ? BoardMode::Ram : BoardMode::Flash;
}

}  // namespace

void BoardNote(Board* board, const char* format, ...) {
    char line[600];
    const int stamp =
        snprintf(line, sizeof line, "%10.3f ms  ", static_cast<double>(board->eventNs) / 1e6);
    va_list args;
    va_start(args, format);
    vsnprintf(line + stamp, sizeof line - static_cast<size_t>(stamp), format, args);
    va_end(args);
    board->log.emplace_back(line);
}

void BoardSend(Board* board, uint8_t byte) {
    const BoardOptions& o = board->options;
    uint64_t readyNs = board->eventNs;
    if (o.pacing) {
        const uint64_t start = std::max(board->eventNs, board->outputFreeNs);
        readyNs = start + ByteNs(o.baud);
        board->outputFreeNs = readyNs;
    }
    if (!board->output.empty() && board->output.back().readyNs > readyNs) {
        readyNs = board->output.back().readyNs;
    }
    board->output.push_back(OutputByte{byte, readyNs});
}

Board* BoardCreate(const BoardOptions& options) {
    Board* board = new Board();
    board->options = options;
    board->hostBaud = options.baud;
    board->hostBaudHistory.emplace_back(0, options.baud);
    if (!options.replayPath.empty()) {
        board->replay = ReplayCreate(board);
        return board;
    }
    // Powered and idle: CTS on and the firmware waiting for sync.
    board->readyAtUs = options.ctsNeverRises ? kNoLimit : 0;
    BoardNote(board, "board at %d baud%s, CTS %s", options.baud,
              options.pacing ? ", paced at line speed" : "",
              options.ctsNeverRises ? "off (never rises, fault)" : "on");
    FlashLoadFolder(board);
    return board;
}

void BoardDestroy(Board* board) {
    ReplayDestroy(board->replay);
    delete board;
}

void BoardSetHostBaud(Board* board, int32_t baud, uint64_t nowUs) {
    // A replay sends what the trace holds at any rate.
    if (baud == board->hostBaud || board->replay != nullptr) {
        return;
    }
    board->hostBaud = baud;
    if (board->output.empty()) {
        board->hostBaudHistory.clear();
    }
    board->hostBaudHistory.emplace_back(nowUs, baud);
}

void BoardSetRts(Board* board, bool on, uint64_t nowUs) {
    if (board->replay != nullptr) {
        ReplaySetRts(board, on, nowUs);
        return;
    }
    const bool rising = on && !board->rts;
    board->rts = on;
    if (rising) {
        Reset(board, nowUs);
    }
}

void BoardReceiveByte(Board* board, uint8_t byte, uint64_t nowUs) {
    if (board->replay != nullptr) {
        ReplayHostByte(board, byte, nowUs);
        return;
    }
    const uint64_t nowNs = nowUs * 1000;
    uint64_t arrivedNs = nowNs;
    if (board->options.pacing) {
        arrivedNs = std::max(nowNs, board->inputFreeNs) + ByteNs(board->hostBaud);
        board->inputFreeNs = arrivedNs;
    }
    NoteReadyOnce(board, arrivedNs);
    board->eventNs = arrivedNs;
    if (!FirmwareReady(board, arrivedNs)) {
        BoardNote(board, "byte 0x%02X ignored: firmware not ready", byte);
        return;
    }
    if (board->hostBaud != board->options.baud) {
        BoardNote(board, "garbage received: byte 0x%02X sent at %d baud, board at %d", byte,
                  board->hostBaud, board->options.baud);
        board->pendingSync = -1;
        return;
    }
    switch (board->mode) {
        case BoardMode::Sync:
            SyncByteReceived(board, byte);
            break;
        case BoardMode::Ram:
            RamFirmwareByte(board, byte);
            break;
        case BoardMode::Flash:
            FlashFirmwareByte(board, byte);
            break;
        case BoardMode::Running:
            BoardNote(board, "byte 0x%02X ignored: the program runs", byte);
            break;
    }
}

bool BoardCts(Board* board, uint64_t nowUs) {
    if (board->replay != nullptr) {
        return ReplayCts(board, nowUs);
    }
    NoteReadyOnce(board, nowUs * 1000);
    if (board->options.ctsStuckOn) {
        return true;
    }
    return FirmwareReady(board, nowUs * 1000);
}

bool BoardPeekOutput(Board* board, uint8_t* byte, uint64_t* readyAtUs) {
    if (board->output.empty()) {
        return false;
    }
    const OutputByte& next = board->output.front();
    const uint64_t readyUs = NsToUsCeil(next.readyNs);
    // Sent at the board's rate, read at another: the host sees a framing mess, taken as 0x00.
    *byte = HostBaudAt(board, readyUs) == board->options.baud ? next.byte : 0x00;
    *readyAtUs = readyUs;
    return true;
}

void BoardPopOutput(Board* board) {
    if (!board->output.empty()) {
        board->output.pop_front();
        PruneHostBaudHistory(board);
    }
    if (board->replay != nullptr) {
        ReplayOutputTaken(board);
    }
}

size_t BoardOutputCount(const Board* board) {
    return board->output.size();
}

void BoardDiscardOutput(Board* board, uint64_t nowUs) {
    size_t dropped = 0;
    while (!board->output.empty() && NsToUsCeil(board->output.front().readyNs) <= nowUs) {
        board->output.pop_front();
        ++dropped;
    }
    if (dropped > 0) {
        board->eventNs = nowUs * 1000;
        BoardNote(board, "host purged %zu received bytes", dropped);
        PruneHostBaudHistory(board);
    }
}

const std::map<uint32_t, uint32_t>& BoardRam(const Board* board) {
    return board->ramWords;
}

bool BoardRamStarted(const Board* board, uint32_t* entryAddress) {
    if (board->ramStarted && entryAddress != nullptr) {
        *entryAddress = board->ramEntry;
    }
    return board->ramStarted;
}

std::vector<StoredProgram> BoardFlashPrograms(const Board* board) {
    return board->programs;
}

bool BoardFlashStarted(const Board* board, std::string* programName) {
    if (board->flashStarted && programName != nullptr) {
        *programName = board->flashStartedName;
    }
    return board->flashStarted;
}

const std::vector<std::string>& BoardLog(const Board* board) {
    return board->log;
}

void BoardClearLog(Board* board) {
    board->log.clear();
}
