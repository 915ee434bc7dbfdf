// lanegen: writes the four byte-lane Extended Tektronix Hex files NAME.X0 to NAME.X3 of a
// program from binary images of big-endian 32-bit words or from seeded random words.
// Lane file k holds byte k of every word; every line has an 8-digit address.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hexreader/hexreader.h"

namespace {

struct Segment {
    uint32_t address = 0;
    std::vector<uint32_t> words;
};

struct Options {
    std::vector<Segment> segments;
    bool entryGiven = false;
    uint32_t entry = 0;
    int wordsPerRecord = 32;
    bool lower = false;
    bool crlf = false;
    std::string name;
};

// Longest record line the loaders read whole: 98 characters, line end included.
constexpr int kMaxLineCharacters = 98;
// Word addresses go on the wire in 24 bits: the loaders refuse any above kTopAddress.
constexpr uint64_t kAddressSpace = uint64_t{kTopAddress} + 1;

const char* const kUsage =
    "usage: lanegen [options] [IMAGE] NAME\n"
    "Writes NAME.X0 to NAME.X3, one byte lane of every 32-bit word each.\n"
    "  IMAGE                    file of big-endian 32-bit words (\"-\" = standard input),\n"
    "                           loaded at --address\n"
    "  --address HEX            load address of IMAGE or of --random (default 0)\n"
    "  --image FILE@HEX         one more image segment at its own load address\n"
    "  --random N               N random words at --address instead of an image\n"
    "  --segment HEX:N          N random words at address HEX (repeatable)\n"
    "  --seed S                 seed of the random words (default 1)\n"
    "  --entry HEX              entry address (default: the first segment's address)\n"
    "  --words-per-record N     1 to 41, 40 with --crlf (default 32)\n"
    "  --lower                  lower-case hexadecimal digits\n"
    "  --crlf                   CR LF line ends instead of LF\n";

[[noreturn]] void Fail(const std::string& message) {
    fprintf(stderr, "lanegen: %s\n", message.c_str());
    exit(2);
}

[[noreturn]] void UsageError(const std::string& message) {
    fprintf(stderr, "lanegen: %s\n%s", message.c_str(), kUsage);
    exit(2);
}

uint32_t ParseHex(const std::string& text, const char* what) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 8 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        UsageError(std::string("bad ") + what + " '" + text + "' (hexadecimal, up to 32 bits)");
    }
    return static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
}

uint64_t ParseCount(const std::string& text, const char* what) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        UsageError(std::string("bad ") + what + " '" + text + "' (decimal count)");
    }
    return strtoull(text.c_str(), nullptr, 10);
}

std::vector<uint32_t> ReadImage(const std::string& path) {
    FILE* file = path == "-" ? stdin : fopen(path.c_str(), "rb");
    if (file == nullptr) {
        Fail("cannot open image '" + path + "': " + strerror(errno));
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    bool failed = ferror(file) != 0;
    if (file != stdin) {
        fclose(file);
    }
    if (failed) {
        Fail("cannot read image '" + path + "'");
    }
    if (bytes.size() % 4 != 0) {
        Fail("image '" + path + "' is not a whole number of 32-bit words");
    }
    std::vector<uint32_t> words(bytes.size() / 4);
    for (size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<uint32_t>(bytes[4 * i]) << 24 |
                   static_cast<uint32_t>(bytes[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(bytes[4 * i + 2]) << 8 | bytes[4 * i + 3];
    }
    return words;
}

// Random words come straight from the engine, whose sequence is fixed for a seed on
// every platform.
std::vector<uint32_t> RandomWords(std::mt19937& engine, uint64_t count) {
    std::vector<uint32_t> words(count);
    for (auto& word : words) {
        word = static_cast<uint32_t>(engine());
    }
    return words;
}

// What the command line asked for besides the options themselves.
struct Requests {
    std::vector<std::string> positional;
    uint32_t address = 0;
    uint32_t seed = 1;
    bool randomGiven = false;
    uint64_t randomCount = 0;
    // Random segments are drawn after all options are known, so the seed may come last.
    struct RandomRequest {
        size_t index;
        uint64_t count;
    };
    std::vector<RandomRequest> randomRequests;
};

void TakeArguments(int argc, char** argv, Options* options, Requests* requests) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* option) -> std::string {
            if (i + 1 >= argc) {
                UsageError(std::string(option) + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (arg == "--address") {
            requests->address = ParseHex(value("--address"), "address");
        } else if (arg == "--entry") {
            options->entry = ParseHex(value("--entry"), "entry address");
            options->entryGiven = true;
        } else if (arg == "--words-per-record") {
            options->wordsPerRecord =
                static_cast<int>(ParseCount(value("--words-per-record"), "word count"));
        } else if (arg == "--seed") {
            requests->seed = static_cast<uint32_t>(ParseCount(value("--seed"), "seed"));
        } else if (arg == "--random") {
            requests->randomCount = ParseCount(value("--random"), "word count");
            requests->randomGiven = true;
        } else if (arg == "--segment") {
            std::string argument = value("--segment");
            size_t colon = argument.find(':');
            if (colon == std::string::npos) {
                UsageError("--segment takes HEX:N");
            }
            Segment segment;
            segment.address = ParseHex(argument.substr(0, colon), "segment address");
            requests->randomRequests.push_back(
                {options->segments.size(), ParseCount(argument.substr(colon + 1), "word count")});
            options->segments.push_back(segment);
        } else if (arg == "--image") {
            std::string argument = value("--image");
            size_t at = argument.rfind('@');
            if (at == std::string::npos) {
                UsageError("--image takes FILE@HEX");
            }
            Segment segment;
            segment.address = ParseHex(argument.substr(at + 1), "image address");
            segment.words = ReadImage(argument.substr(0, at));
            options->segments.push_back(segment);
        } else if (arg == "--lower") {
            options->lower = true;
        } else if (arg == "--crlf") {
            options->crlf = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            UsageError("unknown option '" + arg + "'");
        } else {
            requests->positional.push_back(arg);
        }
    }
}

// The IMAGE or --random segment comes first; the others follow in command-line order.
void PlaceSegments(Requests* requests, Options* options) {
    const std::vector<std::string>& positional = requests->positional;
    bool imageGiven = positional.size() == 2;
    if (positional.empty() || positional.size() > 2) {
        UsageError("give the program NAME (and an IMAGE unless --random or --segment)");
    }
    if (imageGiven && requests->randomGiven) {
        UsageError("give either an IMAGE or --random, not both");
    }
    options->name = positional.back();
    std::vector<Segment> leading;
    if (imageGiven) {
        Segment segment;
        segment.address = requests->address;
        segment.words = ReadImage(positional[0]);
        leading.push_back(segment);
    } else if (requests->randomGiven) {
        Segment segment;
        segment.address = requests->address;
        leading.push_back(segment);
    }
    for (auto& request : requests->randomRequests) {
        request.index += leading.size();
    }
    if (requests->randomGiven) {
        requests->randomRequests.insert(requests->randomRequests.begin(),
                                        {0, requests->randomCount});
    }
    options->segments.insert(options->segments.begin(), leading.begin(), leading.end());
    if (options->segments.empty()) {
        UsageError("nothing to write: give an IMAGE, --random, --image or --segment");
    }
    std::mt19937 engine(requests->seed);
    for (const auto& request : requests->randomRequests) {
        options->segments[request.index].words = RandomWords(engine, request.count);
    }
}

Options ParseArguments(int argc, char** argv) {
    Options options;
    Requests requests;
    TakeArguments(argc, argv, &options, &requests);
    PlaceSegments(&requests, &options);
    int maxWords = options.crlf ? 40 : 41;
    if (options.wordsPerRecord < 1 || options.wordsPerRecord > maxWords) {
        UsageError("--words-per-record must be 1 to " + std::to_string(maxWords) +
                   " (a record line holds at most " + std::to_string(kMaxLineCharacters) +
                   " characters)");
    }
    // The loaders refuse what a packet's 24-bit address cannot carry.
    for (const auto& segment : options.segments) {
        if (static_cast<uint64_t>(segment.address) + segment.words.size() > kAddressSpace) {
            Fail("a segment runs past the 24-bit address space");
        }
    }
    if (!options.entryGiven) {
        options.entry = options.segments.front().address;
    }
    if (options.entry >= kAddressSpace) {
        Fail("the entry address lies past the 24-bit address space");
    }
    return options;
}

// One record: "%", L, T, checksum, N = 8, the address and the data characters. The checksum
// is the sum of the digit values of every character but the "%" and the checksum itself.
std::string FormatRecord(unsigned type, uint32_t address, const std::vector<uint8_t>& data,
                         bool lower) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    auto hex = [&](uint32_t value, int width) {
        std::string text(static_cast<size_t>(width), '0');
        for (int i = width - 1; i >= 0; --i) {
            text[static_cast<size_t>(i)] = digits[value & 0xF];
            value >>= 4;
        }
        return text;
    };
    std::string body = hex(address, 8);
    for (uint8_t byte : data) {
        body += hex(byte, 2);
    }
    unsigned length = static_cast<unsigned>(6 + body.size());
    std::string front = hex(length, 2) + hex(type, 1);
    std::string back = "8" + body;
    unsigned sum = 0;
    for (char c : front + back) {
        sum += c <= '9' ? static_cast<unsigned>(c - '0')
                        : static_cast<unsigned>((c | 0x20) - 'a' + 10);
    }
    return "%" + front + hex(sum & 0xFF, 2) + back;
}

void WriteLanes(const Options& options) {
    const char* lineEnd = options.crlf ? "\r\n" : "\n";
    for (int lane = 0; lane < 4; ++lane) {
        std::string path = options.name + ".X" + std::to_string(lane);
        FILE* file = fopen(path.c_str(), "wb");
        if (file == nullptr) {
            Fail("cannot create '" + path + "': " + strerror(errno));
        }
        for (const auto& segment : options.segments) {
            size_t count = segment.words.size();
            for (size_t first = 0; first < count;
                 first += static_cast<size_t>(options.wordsPerRecord)) {
                size_t last = std::min(count, first + static_cast<size_t>(options.wordsPerRecord));
                std::vector<uint8_t> data;
                for (size_t i = first; i < last; ++i) {
                    data.push_back(static_cast<uint8_t>(segment.words[i] >> (8 * lane)));
                }
                uint32_t address = segment.address + static_cast<uint32_t>(first);
                fprintf(file, "%s%s", FormatRecord(6, address, data, options.lower).c_str(),
                        lineEnd);
            }
        }
        fprintf(file, "%s%s", FormatRecord(8, options.entry, {}, options.lower).c_str(), lineEnd);
        if (ferror(file) != 0 || fclose(file) != 0) {
            Fail("cannot write '" + path + "'");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options = ParseArguments(argc, argv);
    WriteLanes(options);
    return 0;
}
