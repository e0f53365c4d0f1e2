// update.exe under Wine, through Wine's own winmm, with the test MIDI driver playing the
// device on the older stack and on Windows 11's MIDI Service: the whole console text of each
// ending, the records the device accepted, and from the driver's log that every port the
// program opened was really closed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "console_text.h"
#include "image_writer.h"
#include "mixed_image.h"
#include "wine_program.h"

namespace {

const std::string imageName = "TB615R_wine.led";
const std::string opened = OpenedLine(imageName);
const std::string deviceLines = DeviceLines("TV615R Device", "TV615R Device");

void ExpectConsole(const WineRun& run, const std::string& messages) {
    EXPECT_EQ(run.program.output, WindowsConsole(messages));
    EXPECT_EQ(run.program.errors, "");
    EXPECT_EQ(run.program.exitStatus, 0);
}

// The file phase: each ending before the device, with no port touched.
struct FileCase {
    std::string name;
    std::function<void(const ScratchFolder&)> fill;
    std::string messages;
};

std::string SmallImageText() {
    return WriteImageText(MakeImage({{0x01, 0x02, 0x03}, MakePayload(40, 3)}));
}

void PrintTo(const FileCase& row, std::ostream* out) {
    *out << row.name;
}

const auto personalities = testing::Values(Personality::olderStack, Personality::midiService);

// "RestartOnTheMidiService": each row under each personality.
constexpr auto NameRowAndPersonality = [](const auto& test) {
    const bool shared = std::get<1>(test.param) == Personality::midiService;
    return std::get<0>(test.param).name + (shared ? "OnTheMidiService" : "OnTheOlderStack");
};

class FilePhase : public testing::TestWithParam<std::tuple<FileCase, Personality>> {};

TEST_P(FilePhase, EndsWithoutAPort) {
    const auto& [scenario, personality] = GetParam();
    ScratchFolder folder;
    scenario.fill(folder);
    const WineRun run = RunUnderWine(folder, "", {}, personality);
    ExpectConsole(run, scenario.messages);
    EXPECT_FALSE(AnyPortOpened(run.driverLog)) << run.driverLog;
    EXPECT_FALSE(AnyPortOpened(run.deviceLog)) << run.deviceLog;
}

INSTANTIATE_TEST_SUITE_P(
    Wine, FilePhase,
    testing::Combine(
        testing::Values(
            FileCase{"NoImage",
                     [](const ScratchFolder& f) { f.Write("TB615R.txt", SmallImageText()); },
                     "Error: File '*.led' is not found.\n\n"},
            // Wine gives the file the short name TB615R~1.LED, which "*.led" also matches.
            FileCase{"OnlyALongerExtension",
                     [](const ScratchFolder& f) { f.Write("TB615R.ledger", SmallImageText()); },
                     "Error: File '*.led' is not found.\n\n"},
            FileCase{"NameLacksThePrefix",
                     [](const ScratchFolder& f) { f.Write("TB616R.led", SmallImageText()); },
                     noFitFile},
            FileCase{"FolderNamedLikeTheImage",
                     [](const ScratchFolder& f) {
                         std::filesystem::create_directory(f.File("TB615R.led"));
                     },
                     "Error: File 'TB615R.led' is not found.\n\n"},
            FileCase{"BadChecksum",
                     [](const ScratchFolder& f) {
                         f.Write("TB615R_v2.led", "00 05 01 02 03 FF FA\r\n");
                     },
                     OpenedLine("TB615R_v2.led") + imageDamaged}),
        personalities),
    NameRowAndPersonality);

// Records of 204 bytes: eight full messages and a short one each.
Bytes FullMessagesImage() {
    return MakeImage(std::vector<Bytes>(4, MakePayload(200, 5)));
}

// The device and what happens on the way to it, from discovery to the end of the transfer.
struct DeviceCase {
    std::string name;
    std::string driverOptions;
    std::function<std::string(const Bytes& image)> messages;
    Bytes image = MixedImage();
    // The device ends holding the whole image.
    bool acceptsImage = false;
    // The run, Wine's start included, ends within this.
    double mostSeconds = 60;
    // What the driver's log shows when the trouble the scenario sets up did happen.
    std::string logShows = "";
    // What the log of the program's driver shows on the MIDI Service, which cuts the input into
    // messages by its own rules.
    std::string sharedDriverShows = "";
    // A port the program may leave open on the older stack: a send on it never returned, and a
    // close would only be refused.
    std::string blockedPort = "";
    // On the older stack, the log's last line comes within this of the line that logShows
    // names: how long the program may take to give up after the trouble; 0: not looked at.
    double mostSecondsAfterTrouble = 0;
};

// The seconds from the first line that holds text to the log's last line ("TIME ..." in
// milliseconds); a negative number when no line holds it or none follows it.
double SecondsAfter(const std::string& log, const std::string& text) {
    const std::size_t found = log.find(text);
    const std::size_t lastLine = log.rfind('\n', log.size() - 2);
    if (found == std::string::npos || lastLine == std::string::npos || found > lastLine)
        return -1;
    const std::size_t line = log.rfind('\n', found);
    const double from = std::stod(log.substr(line == std::string::npos ? 0 : line + 1));
    return (std::stod(log.substr(lastLine + 1)) - from) / 1000;
}

// The port faults of the log but the blocked port's being left open.
std::vector<std::string> FaultsBeside(const std::string& log, const std::string& blockedPort) {
    std::vector<std::string> faults = PortFaults(log);
    std::erase(faults, blockedPort + ": left open");
    return faults;
}

void PrintTo(const DeviceCase& row, std::ostream* out) {
    *out << row.name;
}

class DeviceScenario : public testing::TestWithParam<std::tuple<DeviceCase, Personality>> {};

TEST_P(DeviceScenario, Run) {
    const auto& [scenario, personality] = GetParam();
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(scenario.image));
    const WineRun run =
        RunUnderWine(folder, scenario.driverOptions, {}, personality, scenario.mostSeconds + 5);
    ExpectConsole(run, opened + scenario.messages(scenario.image));
    const std::string blocked = personality == Personality::olderStack ? scenario.blockedPort : "";
    EXPECT_THAT(FaultsBeside(run.driverLog, blocked), testing::IsEmpty()) << run.driverLog;
    EXPECT_THAT(FaultsBeside(run.deviceLog, blocked), testing::IsEmpty()) << run.deviceLog;
    if (scenario.acceptsImage) {
        EXPECT_EQ(run.acceptedRecords, std::string(scenario.image.begin(), scenario.image.end()))
            << run.deviceLog;
    }
    EXPECT_LT(run.seconds, scenario.mostSeconds) << run.driverLog;
    EXPECT_THAT(run.deviceLog, testing::HasSubstr(scenario.logShows)) << run.deviceLog;
    if (personality == Personality::olderStack && scenario.mostSecondsAfterTrouble != 0) {
        const double seconds = SecondsAfter(run.driverLog, scenario.logShows);
        EXPECT_GE(seconds, 0) << run.driverLog;
        EXPECT_LT(seconds, scenario.mostSecondsAfterTrouble) << run.driverLog;
    }
    if (personality == Personality::midiService) {
        EXPECT_THAT(run.driverLog, testing::HasSubstr(scenario.sharedDriverShows)) << run.driverLog;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Wine, DeviceScenario,
    testing::Combine(
        testing::Values(
            DeviceCase{
                .name = "WholeImageBehindDecoys",
                .driverOptions = "--extra-ports 1",
                .messages = [](const Bytes& image) { return deviceLines + TransferLines(image); },
                .acceptsImage = true,
                .mostSeconds = 15},
            // The interface of the device's input keeps the answers to the handshakes that the
            // search sent the device while it listened on the decoy's input, and lets them out
            // just after that input starts: taken for answers over the decoy's output, they
            // would choose the wrong pair.
            DeviceCase{
                .name = "AnswersHeldUntilTheInputStarts",
                .driverOptions = "--extra-ports 1 --hold-replies 20",
                .messages = [](const Bytes& image) { return deviceLines + TransferLines(image); },
                .acceptsImage = true,
                .mostSeconds = 20,
                .logShows = "device: 4 held answers let out"},
            DeviceCase{.name = "ResetRequest",
                       .driverOptions = "--handshake reset",
                       .messages = [](const Bytes&) { return deviceLines + resetRequest; }},
            DeviceCase{.name = "Restart",
                       .driverOptions = "--restart-at 5",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines + AcceptedLines(image, 6) + restartEnding;
                           }},
            DeviceCase{.name = "RefusedThenAccepted",
                       .driverOptions = "--on 3:1=code:20",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines +
                                      TransferLines(image, 3,
                                                    "\nThe CRC of the download file is error!\n");
                           },
                       .acceptsImage = true},
            DeviceCase{.name = "SilentThenAccepted",
                       .driverOptions = "--on 3:1=silent",
                       .messages =
                           [](const Bytes& image) { return deviceLines + TransferLines(image, 3); },
                       .acceptsImage = true},
            // Replies: the handshake's, records 1 and 2's, then the refusal of record 3, which
            // arrives damaged: heard as nothing, so the record goes again. On the MIDI Service the
            // refusal, its end lost, is cut short by the first byte of the next answer.
            DeviceCase{.name = "DamagedReply",
                       .driverOptions = "--on 3:1=code:20 --damage-reply 4",
                       .messages =
                           [](const Bytes& image) { return deviceLines + TransferLines(image, 3); },
                       .acceptsImage = true,
                       .sharedDriverShows = "TV615R Device: message F0 20 cut short"},
            // The device wakes late: discovery has sent the handshake again when the first answer
            // comes, and the reset request that answers the second comes during the transfer,
            // before record 60's refusal: read as a reply, it would put every later reply one
            // record behind and cost the device record 60.
            DeviceCase{.name = "ResetAnswerToARepeatedHandshake",
                       .driverOptions = "--handshake answer,reset --handshake-late 700 "
                                        "--replies-late 30 --on 60:1=code:20",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines +
                                      TransferLines(image, 60,
                                                    "\nThe CRC of the download file is error!\n");
                           },
                       .image = ManyRecordsImage(),
                       .acceptsImage = true,
                       .mostSeconds = 20},
            // The device answers record 1's first attempt late, as after erasing its memory, and
            // its repeat at once: the late answer, taken for a later record's, would put every
            // reply after it one record behind, and the refusal of record 11, well after it, would
            // then have record 12 sent in its place.
            DeviceCase{.name = "LateFirstRecordThenARefusal",
                       .driverOptions = "--on 1:1=late:700 --on 11:1=code:20",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines + RecordLine(image, 1) +
                                      TransferLines(image, 11,
                                                    "\nThe CRC of the download file is error!\n");
                           },
                       .acceptsImage = true,
                       .logShows = "record 1 attempt 1: late reply 1A sent"},
            DeviceCase{.name = "RefusedTwentyTimes",
                       .driverOptions = "--on 3:*=code:24",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines + AcceptedLines(image, 3) +
                                      RepeatedRecordLines(image, 3, 19,
                                                          "\nThe download file verifies error!\n") +
                                      RepeatedRecordLines(image, 3, 1, "\nError in updating.\n");
                           }},
            DeviceCase{.name = "NoDeviceAnswers",
                       .driverOptions = "--handshake silent",
                       .messages = [](const Bytes&) { return noDeviceFound; },
                       .mostSeconds = 5},
            // Messages 1 to 13 are the handshake, record 1 and three messages of record 2: the
            // device's interface never takes the fourth. On the older stack that send never
            // returns from midiOutLongMsg, as with the in-box USB MIDI driver: the program must
            // give up on it after its 10 s and close its input within a second more, and the
            // run, Wine's start included, ends within 13 s. On the MIDI Service the send fails
            // after 1 s.
            DeviceCase{.name = "OutputStalls",
                       .driverOptions = "--stall-output-after 13",
                       .messages =
                           [](const Bytes& image) {
                               return deviceLines + AcceptedLines(image, 3) + outputMissing;
                           },
                       .image = FullMessagesImage(),
                       .mostSeconds = 13,
                       .logShows = "stalled from message 14 on",
                       .blockedPort = "output 0 TV615R Device",
                       .mostSecondsAfterTrouble = 11},
            // The instrument's messages keep coming while the program tries its input: none may
            // reach the program once it has closed that input. The device answers only the sixth
            // handshake, the second sent with its own input open: an answer to one sent while the
            // instrument ended each wait at once would still be on its way then, and the first
            // wait on the device's input may end at once on a count the instrument left.
            DeviceCase{
                .name = "InstrumentOnAnotherInput",
                .driverOptions = "--instrument --handshake-from 6",
                .messages = [](const Bytes& image) { return deviceLines + TransferLines(image); },
                .acceptsImage = true}),
        personalities),
    NameRowAndPersonality);

// Wine without the driver has no MIDI driver at all.
TEST(NoMidiDriver, FindsNoDevice) {
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(MixedImage()));
    const WineRun run = RunUnderWine(folder, "", {"WINEDLLOVERRIDES=winetestmidi.drv=d"});
    ExpectConsole(run, opened + noDeviceFound);
    EXPECT_EQ(run.driverLog, "");
}

}  // namespace
