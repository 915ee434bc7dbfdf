// The settings of a run: the settings file (PORT, BAUD and a loader's own line) and the
// command line.
#include "driver/settings.h"

#include <cerrno>
#include <cstdlib>

#include "driver/names.h"
#include "driver/run_steps.h"
#include "link/link.h"
#include "link/trace.h"
#include "platform/files.h"

RunState State;

namespace {

// A settings file is three short lines; what lies beyond this is taken as its end.
constexpr size_t kSettingsFileLimit = 65536;

// The whole settings file as the run reads it (text mode: the host's line ends as "\n");
// false when there is none to read.
bool ReadWholeSettingsFile(std::string* text) {
    FILE* file = PlatformOpenSettingsRead(SettingsPath);
    if (file == nullptr) {
        return false;
    }
    text->resize(kSettingsFileLimit);
    text->resize(fread(&(*text)[0], 1, text->size(), file));
    fclose(file);
    return true;
}

// For the trace's header: the path, then each line (cut into pieces of 127 characters)
// after a blank, up to its line end or a NUL.
std::string SettingsForTrace(const std::string& text) {
    std::string lines = std::string(SettingsPath) + ":";
    for (size_t at = 0; at < text.size();) {
        const size_t start = at;
        while (at < text.size() && at - start < 127 && text[at++] != '\n') {
        }
        const std::string piece = text.substr(start, at - start);
        lines += " " + piece.substr(0, piece.find_first_of(std::string("\r\n\0", 3)));
    }
    return lines;
}

bool AtEnd(const SettingsText& in) {
    return in.at >= in.text.size();
}

char Next(const SettingsText& in) {
    return in.text[in.at];
}

void SkipWhiteSpace(SettingsText* in) {
    while (!AtEnd(*in) && IsWhiteSpace(static_cast<unsigned char>(Next(*in)))) {
        ++in->at;
    }
}

// The literal text of a line, character for character: 1, EOF or 0 as a scan gives them.
int ScanLiteral(SettingsText* in, const char* prefix) {
    for (const char* p = prefix; *p != '\0'; ++p) {
        if (AtEnd(*in)) {
            return EOF;
        }
        if (Next(*in) != *p) {
            return 0;
        }
        ++in->at;
    }
    return 1;
}

void ApplyPortOption(const char* text) {
    // A decimal read: leading white space and a sign are allowed, anything after the
    // digits is ignored. No digits: the port stays.
    errno = 0;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (end != text) {
        const bool inRange = errno == 0 && value >= 1 && value <= 4;
        State.PortNumber = inRange ? static_cast<int32_t>(value) : 1;
    }
    if (State.PortNumber < 1 || State.PortNumber > 4) {
        State.PortNumber = 1;
    }
    State.SettingsChanged = true;
}

}  // namespace

int ScanNumberLine(SettingsText* in, const char* prefix, int32_t* value) {
    const int literal = ScanLiteral(in, prefix);
    if (literal != 1) {
        return literal;
    }
    SkipWhiteSpace(in);
    if (AtEnd(*in)) {
        return EOF;
    }
    // A sign without a digit after it is taken and stays taken, as a file's scan takes it.
    const size_t start = in->at;
    if (Next(*in) == '+' || Next(*in) == '-') {
        ++in->at;
    }
    const size_t digits = in->at;
    while (!AtEnd(*in) && Next(*in) >= '0' && Next(*in) <= '9') {
        ++in->at;
    }
    if (in->at == digits) {
        return 0;
    }
    // Converted as "%d" converts: through a long, cut to the int.
    *value =
        static_cast<int32_t>(strtol(in->text.substr(start, in->at - start).c_str(), nullptr, 10));
    SkipWhiteSpace(in);
    return 1;
}

int ScanCharLine(SettingsText* in, const char* prefix, char* value) {
    const int literal = ScanLiteral(in, prefix);
    if (literal != 1) {
        return literal;
    }
    if (AtEnd(*in)) {
        return EOF;
    }
    *value = Next(*in);
    ++in->at;
    SkipWhiteSpace(in);
    return 1;
}

void ReadSettingsFile(const LoaderRun& run) {
    SettingsText in;
    const bool found = ReadWholeSettingsFile(&in.text);
    if (!found) {
        State.SettingsChanged = true;
    } else {
        if (TraceOn) {
            TraceSetSettings(SettingsForTrace(in.text));
        }
        // Only a mismatch (0) asks for a rewrite, the end of the file (EOF) does not.
        if (ScanNumberLine(&in, "PORT=COM", &State.PortNumber) == 0) {
            State.SettingsChanged = true;
        }
        if (ScanNumberLine(&in, "BAUD=", &State.CurrentBaud) == 0) {
            State.SettingsChanged = true;
        }
    }
    if (run.setting != nullptr && run.setting->read(found ? &in : nullptr)) {
        State.SettingsChanged = true;
    }
    if (State.PortNumber < 1 || State.PortNumber > 4) {
        State.PortNumber = 1;
        State.SettingsChanged = true;
    }
    if (State.CurrentBaud != kBaudLow && State.CurrentBaud != kBaudHigh) {
        State.CurrentBaud = kBaudHigh;
        State.SettingsChanged = true;
    }
}

void WriteSettingsFile(const LoaderRun& run) {
    FILE* file = PlatformBeginSettingsWrite(SettingsPath);
    if (file == nullptr) {
        // A read-only folder (or an entry that is no regular file) must not stop a download:
        // the run goes on with the settings it has, and the next run finds the same again.
        return;
    }
    fprintf(file, "PORT=COM%d\n", State.PortNumber);
    fprintf(file, "BAUD=%d\n", State.CurrentBaud);
    if (run.setting != nullptr) {
        run.setting->write(file);
    }
    PlatformFinishSettingsWrite(file);
}

void ProcessCommandLine(const LoaderRun& run, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] == '-') {
            const char letter = LowerAscii(arg[1]);
            switch (letter) {
                case 'c':
                    ApplyPortOption(arg + 2);
                    break;
                case 'h':
                    run.printUsage();
                    EndRun(kExitSuccess, nullptr, nullptr);
                case 'i':
                    State.Verbose = true;
                    break;
                default:
                    if (run.setting != nullptr && letter == run.setting->optionLetter) {
                        run.setting->applyOption(arg + 2);
                        State.SettingsChanged = true;  // also when the value stays
                    }
                    break;
            }
        } else if (arg[0] == '?') {
            run.printUsage();
            EndRun(kExitSuccess, nullptr, nullptr);
        } else {
            StoreProgramName(arg);
        }
    }
}

void ReportPortAndSaveSettings(const LoaderRun& run) {
    printf("Using Port  : COM%d\n", State.PortNumber);
    // Saved before the name is checked: options of a run that then fails are kept.
    if (State.SettingsChanged) {
        WriteSettingsFile(run);
    }
}

void SaveSettingsAfterConnection(const LoaderRun& run, const TargetAnswer& answer) {
    State.CurrentBaud = answer.baud;
    if (answer.roundMissed) {
        State.SettingsChanged = true;
    }
    if (State.SettingsChanged) {
        WriteSettingsFile(run);  // now with the rate the target answered at
    }
}
