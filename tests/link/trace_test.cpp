// The trace the link writes (TAVLOADER_TRACE): each kind of event as tavsim --replay and a
// reader with grep find it, from the header to the exit code.
#include "link/trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>

#include "fake/fake_platform.h"
#include "link/link.h"
#include "link/trace_testing.h"
#include "support/files.h"

namespace {

struct TraceCase {
    const char* name;
    std::function<void()> body;       // on the open port; ExitLoader(0) follows unless it exits
    std::vector<std::string> events;  // the lines after the opening ones, without their times
    int code = 0;
};

void PrintTo(const TraceCase& c, std::ostream* os) {
    *os << c.name;
}

class TraceTest : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceTest, EventsFollowTheOpeningLines) {
    TempFolder folder("tavtrace");
    FakeReset();
    setenv("TAVLOADER_TRACE", folder.Path("trace.txt").c_str(), 1);
    char tool[] = "tavram";
    char name[] = "PROG";
    char* argv[] = {tool, name};
    TraceStart("TAVRAM V 3.0", 2, argv);
    unsetenv("TAVLOADER_TRACE");
    std::string output;
    const int code = FakeRunCapturing(
        [] {
            OpenComPort(1, 115200);
            GetParam().body();
            ExitLoader(0);
        },
        &output);

    std::vector<std::string> expected = {
        "# TAVRAM V 3.0; command line: tavram PROG; settings read: none; port COM1", "! open COM1",
        "! purge", "! rate 115200"};
    expected.insert(expected.end(), GetParam().events.begin(), GetParam().events.end());
    std::vector<std::string> events;
    std::istringstream lines(ReadTextFile(folder.Path("trace.txt")));
    for (std::string line; std::getline(lines, line);) {
        const size_t time = line.find_first_not_of(' ');
        EXPECT_EQ(line.find(' ', time), 10u) << "time right-aligned in 10 columns: " << line;
        events.push_back(line.substr(11));
    }
    EXPECT_EQ(events, expected);
    EXPECT_EQ(code, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Events, TraceTest,
    ::testing::Values(TraceCase{"BytesOfOneDirectionShareALine",
                                [] {
                                    Transmit(0x0F);
                                    TransmitBlock(reinterpret_cast<const uint8_t*>("\x0F"), 1);
                                    ReceiveWait();
                                },
                                {"> 0F 0F", "< 0F", "! flow control off", "! RTS off", "! exit 0"}},
                      TraceCase{"OnlyCtsChangesAreWritten",
                                [] {
                                    CTSSignalSet();
                                    CTSSignalSet();
                                },
                                {"! CTS on", "! flow control off", "! RTS off", "! exit 0"}},
                      TraceCase{"LinesAndRate",
                                [] {
                                    SetRtsSignal(1);
                                    EnableAuto_RTS_CTS(1);
                                    SetBaudrate(38400);
                                },
                                {"! RTS on", "! flow control RTS/CTS on", "! rate 38400", "! purge",
                                 "! flow control off", "! RTS off", "! exit 0"}},
                      TraceCase{"SignalDuringTheLastWriteWaitsForIt",
                                [] {
                                    Transmit(0x0F);
                                    FakeSignalAtNextTraceWrite();  // the exit's
                                },
                                {"> 0F", "! flow control off", "! RTS off", "! exit 0"},
                                2},
                      TraceCase{
                          "SilentBoardEndsWithTheMessageAndCode2",
                          [] { ReceiveWait(); },
                          {"! time-out: nothing received",
                           "! message \"\\nReceiveWait(): Timeout, No Answer From Target\\n\"",
                           "! flow control off", "! RTS off", "! exit 2"},
                          2}),
    [](const ::testing::TestParamInfo<TraceCase>& info) { return std::string(info.param.name); });

TEST(TraceBoundTest, TraceStopsAtItsBoundWithALineSayingSoAndTheRunGoesOn) {
    TempFolder folder("tavtrace");
    FakeReset();
    TraceSetSizeBound(1000);
    setenv("TAVLOADER_TRACE", folder.Path("trace.txt").c_str(), 1);
    TraceStart("TAVRAM V 3.0", 0, nullptr);
    unsetenv("TAVLOADER_TRACE");
    std::string output;
    const int code = FakeRunCapturing(
        [] {
            OpenComPort(1, 115200);
            for (int i = 0; i < 1000; ++i) {
                Transmit(0x0F);
            }
            ExitLoader(0);
        },
        &output);
    EXPECT_EQ(code, 0);
    const std::string trace = ReadTextFile(folder.Path("trace.txt"));
    EXPECT_LE(trace.size(), 1000u);
    const std::string last = " ! trace stopped: size bound of 1000 bytes reached\n";
    EXPECT_EQ(trace.substr(trace.size() - std::min(trace.size(), last.size())), last) << trace;
}

}  // namespace
