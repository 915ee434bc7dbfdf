// Flash firmware of the board model. It echoes every byte it takes, closes each packet with
// its byte sum and a result, and keeps complete downloads as named programs.
//
// Packets broken off by the host: the host's clean-up after an error is a lone 0x04
// (start-program), sent wherever the failed packet stopped. Inside a packet a 0x04 is data,
// except where it can never be valid: a character of the program name, the length bytes of a
// load-data packet (no valid length has 0x04 in either byte) and its 0x01 marker. There the
// packet is dropped and the 0x04 is taken as start-program, so the host's clean-up gets its
// proper answer. Elsewhere (address, data, date values) the firmware waits for the rest of
// the packet, as real firmware would, and the host's wait for the checksum runs out.
#include "flashloader/end_status.h"
#include "targetsim/board_internal.h"

namespace {

constexpr uint8_t kStartDownload = 0x00;
constexpr uint8_t kLoadStartAddress = 0x01;
constexpr uint8_t kLoadData = 0x02;
constexpr uint8_t kEndDownload = 0x03;
constexpr uint8_t kStartProgram = 0x04;
constexpr uint8_t kCloseByte = 0x0C;
constexpr uint8_t kEchoFiller = 0x7F;
constexpr uint32_t kMaxLoadData = 1023;  // the firmware's packet buffer
constexpr size_t kMaxName = 255;
constexpr size_t kMaxPrograms = 63;

bool Silent(Board* board) {
    const BoardOptions& o = board->options;
    FlashState& f = board->flash;
    if (o.flashSilentFrom <= 0 || f.received < o.flashSilentFrom) {
        return false;
    }
    if (!f.silentLogged) {
        f.silentLogged = true;
        BoardNote(board, "silent from received byte %lld on (fault)",
                  static_cast<long long>(o.flashSilentFrom));
    }
    return true;
}

void Out(Board* board, uint8_t byte) {
    if (!Silent(board)) {
        BoardSend(board, byte);
    }
}

void Echo(Board* board, uint8_t byte) {
    if (board->flash.received == board->options.flashCorruptEchoAt) {
        const uint8_t corrupt = byte ^ 0xA5;
        BoardNote(board, "echo of received byte %lld (0x%02X) sent as 0x%02X (fault)",
                  static_cast<long long>(board->flash.received), byte, corrupt);
        byte = corrupt;
    }
    Out(board, byte);
}

// Counts the packet and sends its checksum, fillers and result, with the faults applied.
// Returns the result byte sent.
uint8_t Close(Board* board, uint8_t result, int32_t statusFillers = 0) {
    const BoardOptions& o = board->options;
    FlashState& f = board->flash;
    const int32_t k = ++f.packets;
    uint8_t checksum = static_cast<uint8_t>(f.sum);
    if (k == o.flashWrongChecksumAt) {
        BoardNote(board, "packet %d: checksum 0x%02X sent as 0x%02X (fault)", k, checksum,
                  static_cast<uint8_t>(checksum + 1));
        checksum = static_cast<uint8_t>(checksum + 1);
    }
    if (k == o.flashResultAt) {
        BoardNote(board, "packet %d: result %d sent as %d (fault)", k, result,
                  o.flashResultValue & 0xFF);
        result = static_cast<uint8_t>(o.flashResultValue);
    }
    Out(board, checksum);
    for (int32_t i = 0; i < statusFillers; ++i) {
        Out(board, kEndStatusFiller);
    }
    Out(board, result);
    f.step = FlashStep::Idle;
    f.packet.clear();
    return result;
}

size_t StoredWords(const Board* board) {
    size_t words = board->flash.open ? board->flash.current.words.size() : 0;
    for (const StoredProgram& p : board->programs) {
        words += p.words.size();
    }
    return words;
}

void StartDownloadDone(Board* board) {
    FlashState& f = board->flash;
    uint8_t result = 1;
    const char* why = "created";
    if (f.name.size() > kMaxName) {
        result = 0;
        why = "refused: name too long";
    } else {
        for (const StoredProgram& p : board->programs) {
            if (p.name == f.name) {
                result = 0;
                why = "refused: a program of that name is stored";
            }
        }
    }
    BoardNote(board,
              "packet %d: start-download \"%s\" stamp %02u.%02u.%02u %02u:%02u:%02u (%u), "
              "checksum 0x%02X: %s",
              f.packets + 1, f.name.c_str(), f.stamp[0], f.stamp[1], f.stamp[2], f.stamp[3],
              f.stamp[4], f.stamp[5], f.stamp[6], static_cast<uint8_t>(f.sum), why);
    f.lastName = f.name;
    f.open = result == 1;
    f.entrySet = false;
    f.dataFailed = false;
    f.current = StoredProgram();
    if (f.open) {
        f.current.name = f.name;
        std::copy(f.stamp, f.stamp + 7, f.current.stamp);
    }
    Close(board, result);
}

void LoadDataDone(Board* board) {
    FlashState& f = board->flash;
    const uint32_t length = PacketLength(f.packet);
    const uint32_t address = PacketAddress(f.packet, 4);
    const uint32_t words = f.bad ? 0 : (length - kDataHeaderBytes) / 4;
    uint8_t result = 1;
    const char* why = "stored";
    if (f.bad) {
        result = 0;
        why = "refused: wrong length or marker";
        f.dataFailed = true;
    } else if (!f.open) {
        result = 0;
        why = "refused: no download open";
    } else if (StoredWords(board) + words > board->options.flashCapacityWords) {
        result = 0;
        why = "refused: flash memory full";
        f.dataFailed = true;
    } else {
        StoreDataWords(f.packet, words, &f.current.words);
    }
    BoardNote(board, "packet %d: load-data at 0x%06X, %u words, length %u, checksum 0x%02X: %s",
              f.packets + 1, address, words, length, static_cast<uint8_t>(f.sum), why);
    Close(board, result);
}

void StartAddressDone(Board* board) {
    FlashState& f = board->flash;
    const uint32_t address = PacketAddress(f.packet, 1);
    uint8_t result = 0;
    if (f.open) {
        f.current.entryAddress = address;
        f.entrySet = true;
        result = 1;
    }
    BoardNote(board, "packet %d: load-start-address 0x%06X, checksum 0x%02X: %s", f.packets + 1,
              address, static_cast<uint8_t>(f.sum), result ? "accepted" : "refused");
    Close(board, result);
}

void EndDownload(Board* board) {
    FlashState& f = board->flash;
    const BoardOptions& o = board->options;
    Echo(board, kEndDownload);
    f.sum = kEndDownload;
    uint8_t status = kEndStatusComplete;
    if (!f.open) {
        status = kEndStatusStartDownload;
    } else if (!f.entrySet) {
        status = kEndStatusLoadStartAddress;
    } else if (f.dataFailed) {
        status = kEndStatusLoadData;
    } else if (board->programs.size() >= kMaxPrograms) {
        status = kEndStatusFlashFull;
    }
    BoardNote(board, "packet %d: end-download, status %u", f.packets + 1, status);
    if (o.flashEndStatus != kEndStatusComplete) {
        BoardNote(board, "end-download status %d sent instead (fault)", o.flashEndStatus);
        status = static_cast<uint8_t>(o.flashEndStatus);
    }
    if (status == kEndStatusComplete) {
        const uint64_t seq = board->programSeq.empty() ? 1 : board->programSeq.back() + 1;
        board->programs.push_back(f.current);
        board->programSeq.push_back(seq);
        BoardNote(board, "program \"%s\" stored: %zu words, entry 0x%06X", f.current.name.c_str(),
                  f.current.words.size(), f.current.entryAddress);
        FlashSaveProgram(board, f.current, seq);
    }
    f.open = false;
    f.current = StoredProgram();
    if (o.flashFillers > 0) {
        BoardNote(board, "%d fillers 0xFF before the status", o.flashFillers);
    }
    Close(board, status, o.flashFillers);
}

void StartProgram(Board* board) {
    FlashState& f = board->flash;
    Echo(board, kStartProgram);
    f.sum = kStartProgram;
    std::string name = f.lastName;
    if (name.empty() && !board->programs.empty()) {
        name = board->programs.back().name;
    }
    f.open = false;
    BoardNote(board, "packet %d: start-program \"%s\"", f.packets + 1, name.c_str());
    if (Close(board, 1) == 1) {
        board->flashStarted = true;
        board->flashStartedName = name;
    }
    f.step = FlashStep::WaitCloseByte;
}

void BreakOff(Board* board, const char* packet) {
    BoardNote(board,
              "0x04 inside a %s packet where it cannot belong: packet dropped, taken as "
              "start-program",
              packet);
    board->flash.step = FlashStep::Idle;
    board->flash.packet.clear();
    StartProgram(board);
}

void Command(Board* board, uint8_t byte) {
    FlashState& f = board->flash;
    const BoardOptions& o = board->options;
    f.packet.assign(1, byte);
    f.sum = byte;
    f.bad = false;
    switch (byte) {
        case kStartDownload:
            if (o.flashFillers > 0) {
                BoardNote(board, "%d fillers 0x7F before the echo", o.flashFillers);
            }
            for (int32_t i = 0; i < o.flashFillers; ++i) {
                Out(board, kEchoFiller);
            }
            Echo(board, byte);
            f.name.clear();
            f.stampCount = 0;
            f.step = FlashStep::Name;
            return;
        case kLoadData:
            Echo(board, byte);
            f.expected = kDataHeaderBytes;
            f.step = FlashStep::LoadData;
            return;
        case kLoadStartAddress:
            Echo(board, byte);
            f.step = FlashStep::StartAddress;
            return;
        case kEndDownload:
            EndDownload(board);
            return;
        case kStartProgram:
            StartProgram(board);
            return;
        default:
            Echo(board, byte);
            BoardNote(board, "unknown flash command 0x%02X echoed and ignored", byte);
            f.packet.clear();
            return;
    }
}

void LoadDataByte(Board* board, uint8_t byte) {
    FlashState& f = board->flash;
    const size_t pos = f.packet.size();
    if (byte == kStartProgram && pos >= 1 && pos <= 3) {
        BreakOff(board, "load-data");
        return;
    }
    Echo(board, byte);
    f.sum += byte;
    f.packet.push_back(byte);
    if (pos == 2) {
        f.expected = DataBytesToTake(PacketLength(f.packet), kMaxLoadData, &f.bad);
    } else if (pos == 3 && byte != kDataMarker) {
        f.bad = true;
    }
    if (f.packet.size() >= kDataHeaderBytes && f.packet.size() == f.expected) {
        LoadDataDone(board);
    }
}

void HandleByte(Board* board, uint8_t byte) {
    FlashState& f = board->flash;
    switch (f.step) {
        case FlashStep::Idle:
            Command(board, byte);
            return;
        case FlashStep::Name:
            if (byte == kStartProgram) {
                BreakOff(board, "start-download");
                return;
            }
            Echo(board, byte);
            f.sum += byte;
            if (byte == 0) {
                f.step = FlashStep::Stamp;
            } else if (f.name.size() <= kMaxName) {
                f.name.push_back(static_cast<char>(byte));
            }
            return;
        case FlashStep::Stamp:
            Echo(board, byte);
            f.sum += byte;
            f.stamp[f.stampCount++] = byte;
            if (f.stampCount == 7) {
                StartDownloadDone(board);
            }
            return;
        case FlashStep::LoadData:
            LoadDataByte(board, byte);
            return;
        case FlashStep::StartAddress:
            Echo(board, byte);
            f.sum += byte;
            f.packet.push_back(byte);
            if (f.packet.size() == 4) {
                StartAddressDone(board);
            }
            return;
        case FlashStep::WaitCloseByte:
            f.step = FlashStep::Idle;
            if (byte == kCloseByte) {
                // The firmware has handed over to the program: the 0x0C gets no echo.
                board->mode = BoardMode::Running;
                BoardNote(board, "0x0C taken: program \"%s\" runs",
                          board->flashStartedName.c_str());
                return;
            }
            BoardNote(board, "0x%02X instead of 0x0C after start-program: taken as a command",
                      byte);
            Command(board, byte);
            return;
    }
}

}  // namespace

void FlashFirmwareReset(Board* board) {
    board->flash = FlashState();
}

void FlashFirmwareByte(Board* board, uint8_t byte) {
    ++board->flash.received;
    HandleByte(board, byte);
}
