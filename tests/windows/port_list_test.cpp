// update.exe with the ports numbered and listed as Windows does: the GS Wavetable Synth as
// output 0 on both stacks, which takes the handshakes and answers nothing; the MIDI Service's
// three default loopbacks before the device, which echo every handshake sent to them; and a
// number without a port before the device's ports, which the MIDI Service counts all the same.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "console_text.h"
#include "image_writer.h"
#include "mixed_image.h"
#include "wine_program.h"

namespace {

const std::string imageName = "TB615R_ports.led";
// Each of a pair's four handshakes ends when its echo comes back through the device process:
// a few milliseconds each, where a pair that stays silent costs its four 500 ms waits.
constexpr double mostSecondsPerEchoPair = 0.4;

struct PortListCase {
    std::string name;
    std::string driverOptions;
    Personality personality;
    // The pairs whose output echoes to the program's open input.
    std::size_t echoPairs = 0;
    // What the log of the program's driver shows when the port list was the one set up.
    std::string logShows;
    double mostSeconds = 20;
};

void PrintTo(const PortListCase& row, std::ostream* out) {
    *out << row.name;
}

// The seconds from the open to the close of each output during which the program's input
// heard its own handshake (F0 53 ...) come back: the loopback pairs, as the program's driver
// logged them ("TIME output N NAME: open", times in milliseconds).
std::vector<double> EchoPairSeconds(const std::string& driverLog) {
    std::vector<double> spans;
    // Below 0 while no output is open.
    double openedAt = -1;
    bool echoed = false;
    std::istringstream lines(driverLog);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        double milliseconds = 0;
        std::string kind;
        if (!(words >> milliseconds >> kind))
            continue;
        if (kind == "output" && line.ends_with(": open")) {
            openedAt = milliseconds;
            echoed = false;
        } else if (kind == "output" && line.find(": closed") != std::string::npos &&
                   openedAt >= 0) {
            if (echoed)
                spans.push_back((milliseconds - openedAt) / 1000);
            openedAt = -1;
        } else if (kind == "input" && line.find(": message F0 53 ") != std::string::npos) {
            echoed = openedAt >= 0;
        }
    }
    return spans;
}

class PortList : public testing::TestWithParam<PortListCase> {};

TEST_P(PortList, FindsAndUpdatesTheDevice) {
    const PortListCase& row = GetParam();
    const Bytes image = MixedImage();
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(image));
    const WineRun run =
        RunUnderWine(folder, row.driverOptions, {}, row.personality, row.mostSeconds + 5);
    EXPECT_EQ(run.program.output,
              WindowsConsole(OpenedLine(imageName) + DeviceLines("TV615R Device", "TV615R Device") +
                             TransferLines(image)))
        << run.driverLog;
    EXPECT_EQ(run.program.exitStatus, 0);
    EXPECT_TRUE(run.acceptedRecords == std::string(image.begin(), image.end()))
        << "the device holds " << run.acceptedRecords.size() << " bytes\n"
        << run.deviceLog;
    EXPECT_THAT(PortFaults(run.driverLog), testing::IsEmpty()) << run.driverLog;
    EXPECT_THAT(PortFaults(run.deviceLog), testing::IsEmpty()) << run.deviceLog;
    EXPECT_THAT(run.driverLog, testing::HasSubstr(row.logShows)) << run.driverLog;

    const std::vector<double> echoPairs = EchoPairSeconds(run.driverLog);
    EXPECT_EQ(echoPairs.size(), row.echoPairs) << run.driverLog;
    for (const double seconds : echoPairs)
        EXPECT_LT(seconds, mostSecondsPerEchoPair) << run.driverLog;
    EXPECT_LT(run.seconds, row.mostSeconds) << run.driverLog;
}

INSTANTIATE_TEST_SUITE_P(
    Wine, PortList,
    testing::Values(
        // The synthesizer takes the four handshakes and says nothing.
        PortListCase{
            .name = "SynthFirstOnTheOlderStack",
            .driverOptions = "--windows-ports",
            .personality = Personality::olderStack,
            .logShows = "output 0 Microsoft GS Wavetable Synth: closed; 4 messages played"},
        // Four inputs by five outputs: sixteen silent pairs of 2 s each before the device's,
        // and three that echo (A to B, B to A, the basic loopback to itself).
        PortListCase{.name = "Windows11PortList",
                     .driverOptions = "--windows-ports",
                     .personality = Personality::midiService,
                     .echoPairs = 3,
                     .logShows = "4 inputs, 5 outputs, shared",
                     .mostSeconds = 60},
        // The device is input 1 and output 1; number 0 answers MMSYSERR_NODRIVER.
        PortListCase{.name = "GapBeforeTheDeviceOnTheMidiService",
                     .driverOptions = "--port-gap",
                     .personality = Personality::midiService,
                     .logShows = "input 1 TV615R Device: open"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
