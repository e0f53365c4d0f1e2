// The built program against the device simulator over a private JACK server: the whole
// console output of each ending of a run that reaches the device, and the records that the
// device accepted.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "console_text.h"
#include "image_writer.h"
#include "jack_server.h"
#include "kept_cycles.h"
#include "mixed_image.h"
#include "program_runner.h"
#include "simulated_device.h"

namespace {

const std::string imageName = "TB615R_e2e.led";
const std::string opened = OpenedLine(imageName);
const std::string deviceLines = DeviceLines("device-sim:out", "device-sim-01:in");

class UpdateOverJack : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.IsRunning()) << server.Log();
        folder.Write(imageName, WriteImageText(image));
    }

    ProgramResult RunUpdate(const std::vector<std::string>& environment = {}) {
        std::vector<std::string> assignments = server.Environment();
        assignments.insert(assignments.end(), environment.begin(), environment.end());
        return RunProgram(folder.Path(), std::string("'") + UPDATE_PROGRAM + "'", assignments);
    }

    void ExpectRun(const ProgramResult& result, const std::string& messages) {
        EXPECT_EQ(result.output, PosixConsole(messages));
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(result.exitStatus, 0);
    }

    PrivateJackServer server;
    ScratchFolder folder;
    Bytes image = MixedImage();
};

TEST_F(UpdateOverJack, WholeImageIsAcceptedAsSent) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + TransferLines(image));
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
    });
}

TEST_F(UpdateOverJack, DeviceBehindOtherPortsIsFound) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--extra-ports", "1"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        const ProgramResult result = RunUpdate();
        EXPECT_NE(result.output.find("MIDIIN Device: device-sim:out\n"), std::string::npos)
            << result.output;
        EXPECT_NE(result.output.find(updateSucceeded), std::string::npos);
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
    });
}

TEST_F(UpdateOverJack, DeviceAsksForAReset) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--handshake", "reset"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + resetRequest);
        EXPECT_EQ(device.AcceptedRecords(), "");
    });
}

TEST_F(UpdateOverJack, SilentDeviceIsNotFound) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--handshake", "silent"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + noDeviceFound);
    });
}

TEST_F(UpdateOverJack, DeviceRestartsAfterAGivenRecord) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--restart-at", "5"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 6) + restartEnding);
    });
}

TEST_F(UpdateOverJack, DeviceErrorsRepeatTheRecordUntilTheLimit) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--on", "3:*=code:24"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(),
                  opened + deviceLines + AcceptedLines(image, 3) +
                      RepeatedRecordLines(image, 3, 19, "\nThe download file verifies error!\n") +
                      RepeatedRecordLines(image, 3, 1, "\nError in updating.\n"));
    });
}

TEST_F(UpdateOverJack, SilenceAndLateRepliesAreRepeatedUntilAccepted) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(
            server, {"--on", "2:1=silent", "--on", "4:1=code:20", "--on", "4:2=late:200"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        const std::string lines = TransferLines(image);
        ExpectRun(RunUpdate(),
                  opened + deviceLines + AcceptedLines(image, 2) + RecordLine(image, 2) +
                      AcceptedLines(image, 4).substr(AcceptedLines(image, 2).size()) +
                      RecordLine(image, 4) + "\nThe CRC of the download file is error!\n" +
                      lines.substr(AcceptedLines(image, 4).size()));
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
    });
}

TEST_F(UpdateOverJack, SilentDeviceEndsAsNotResponding) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--on", "2:*=silent"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 2) +
                                   RepeatedRecordLines(image, 2, 20) +
                                   "\nFailed: Target is not responding.\n\n");
    });
}

// A device that answers a handshake late (waking up), twice (a MIDI merger or a thru loop), or
// answers discovery's repeated handshake with a reset request, has a handshake answer still on
// its way while the records go out. Taken for a record's reply, it would leave every later
// reply read one record behind, and the refusal of one record would be blamed on the next:
// the refused one would never be sent again.
struct StrayAnswerCase {
    const char* name;
    std::vector<std::string> handshake;
};

void PrintTo(const StrayAnswerCase& row, std::ostream* out) {
    *out << row.name;
}

class StrayHandshakeAnswer : public UpdateOverJack,
                             public testing::WithParamInterface<StrayAnswerCase> {};

TEST_P(StrayHandshakeAnswer, CostsNoRecord) {
    RunOnKeptCycles(server, [&] {
        image = ManyRecordsImage();
        folder.Write(imageName, WriteImageText(image));
        const std::size_t refused = 60;
        std::vector<std::string> arguments = {"--replies-late", "30", "--on",
                                              std::to_string(refused) + ":1=code:20"};
        arguments.insert(arguments.end(), GetParam().handshake.begin(), GetParam().handshake.end());
        SimulatedDevice device(server, arguments);
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(),
                  opened + deviceLines +
                      TransferLines(image, refused, "\nThe CRC of the download file is error!\n"));
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()))
            << device.Stop();
    });
}

INSTANTIATE_TEST_SUITE_P(
    Devices, StrayHandshakeAnswer,
    testing::Values(StrayAnswerCase{"AnsweredLate", {"--handshake-late", "700"}},
                    // The second answer comes after discovery has taken the first and well
                    // before record 1's reply (some 40 ms after the first answer): a stray
                    // answer that reaches the program in the same JACK period as a reply leaves
                    // only the later of the two to be read, and goes unnoticed.
                    StrayAnswerCase{"AnsweredTwice", {"--handshake-twice", "20"}},
                    StrayAnswerCase{"ResetAnswerToTheRepeatedHandshake",
                                    {"--handshake", "answer,reset", "--handshake-late", "700"}}),
    NameCase);

// The device behind the second pair, its interface holding its answers while nothing listens
// on its output: the four answers to the greetings sent over the first input come out when its
// own input opens, and must not choose it with the first output.
TEST_F(UpdateOverJack, HeldAnswersChooseNoPair) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--extra-ports", "1", "--hold-answers", "20"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + TransferLines(image));
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()))
            << device.Stop();
        EXPECT_NE(device.Stop().find("4 held answers let out"), std::string::npos);
    });
}

// The first record is answered after its wait, as after an erase, and then its repeat is
// answered too, 15 ms later (215 ms after it came), before the next record's reply; a later
// refusal must cost the device no record.
TEST_F(UpdateOverJack, LateFirstRecordThenARefusal) {
    RunOnKeptCycles(server, [&] {
        image = ManyRecordsImage();
        folder.Write(imageName, WriteImageText(image));
        const std::size_t refused = 60;
        SimulatedDevice device(
            server, {"--replies-late", "30", "--on", "1:1=late:700", "--on", "1:2=late:215", "--on",
                     std::to_string(refused) + ":1=code:20"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(),
                  opened + deviceLines + RecordLine(image, 1) +
                      TransferLines(image, refused, "\nThe CRC of the download file is error!\n"));
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()))
            << device.Stop();
    });
}

// A thru loop brings every answer twice: the second is taken for the next record before the
// device has it, and nothing tells them apart until the answers outnumber the records. The run
// cannot know what the device holds, and must not say success.
TEST_F(UpdateOverJack, EveryAnswerTwiceIsNoSuccess) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--replies-twice", "20", "--handshake-twice", "20"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, image.size()) +
                                   "\nError in updating.\n");
    });
}

// A second updater started at the same time finds the device's ports in use, and the first
// one's own ports too, as on Windows: it reports no device, and the device takes the image
// once.
TEST_F(UpdateOverJack, SecondUpdaterAtOnceFindsThePortsInUse) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        ScratchFolder secondFolder;
        secondFolder.Write(imageName, WriteImageText(image));
        ProgramResult second;
        const std::vector<std::string> environment = server.Environment();
        std::thread other([&] {
            second = RunProgram(secondFolder.Path(), std::string("'") + UPDATE_PROGRAM + "'",
                                environment);
        });
        const ProgramResult first = RunUpdate();
        other.join();

        const std::string updated = PosixConsole(opened + deviceLines + TransferLines(image));
        const std::string refused = PosixConsole(opened + noDeviceFound);
        EXPECT_TRUE((first.output == updated && second.output == refused) ||
                    (first.output == refused && second.output == updated))
            << "first:\n"
            << first.output << "\nsecond:\n"
            << second.output;
        EXPECT_EQ(first.errors + second.errors, "");
        EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
    });
}

// An updater killed in the middle of a transfer leaves neither a lock nor a client behind: the
// next one updates the device.
TEST_F(UpdateOverJack, UpdaterKilledMidTransferLeavesThePortsFree) {
    RunOnKeptCycles(server, [&] {
        const Bytes slowImage = MakeImage(std::vector<Bytes>(12, MakePayload(200, 7)));
        folder.Write(imageName, WriteImageText(slowImage));
        SimulatedDevice device(server, {"--din"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        const int clients = server.ClientCount();
        const ProgramResult killed =
            RunProgram(folder.Path(), std::string("timeout -s KILL 1 '") + UPDATE_PROGRAM + "'",
                       server.Environment());
        ASSERT_EQ(killed.output.rfind(banner + opened + deviceLines, 0), 0u) << killed.output;
        ASSERT_EQ(killed.output.find("Target update"), std::string::npos) << killed.output;
        // jackd removes a killed client once it has missed the client timeout of its server.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (server.ClientCount() != clients && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(server.ClientCount(), clients);

        const ProgramResult result = RunUpdate();
        EXPECT_NE(result.output.find(deviceLines), std::string::npos) << result.output;
        EXPECT_NE(result.output.find(updateSucceeded), std::string::npos);
        EXPECT_TRUE(
            device.AcceptedRecords().ends_with(std::string(slowImage.begin(), slowImage.end())));
        EXPECT_EQ(server.ClientCount(), clients);
    });
}

// UPDATE_MIDI_SYSTEM chooses the MIDI system; an unknown name is told once and the default
// taken: the ALSA sequencer where it opens, JACK otherwise. The device is on JACK.
TEST_F(UpdateOverJack, MidiSystemIsTheOneNamed) {
    RunOnKeptCycles(server, [&] {
        SimulatedDevice device(server, {"--handshake", "reset"});
        ASSERT_TRUE(device.IsReady()) << device.Stop();
        const bool sequencer = std::filesystem::exists("/dev/snd/seq");
        const std::string unknown =
            "update: UPDATE_MIDI_SYSTEM=pulse names no MIDI system (it takes alsa or jack); using "
            "the ALSA sequencer where it opens, otherwise JACK\n";
        struct Case {
            std::string value;
            bool onJack;
            std::string errors;
        };
        const std::vector<Case> cases = {{"jack", true, ""},
                                         {"JACK", true, ""},
                                         {"alsa", false, ""},
                                         {"pulse", !sequencer, unknown}};
        for (const Case& test : cases) {
            const ProgramResult result = RunUpdate({"UPDATE_MIDI_SYSTEM=" + test.value});
            EXPECT_EQ(result.output, PosixConsole(opened + (test.onJack ? deviceLines + resetRequest
                                                                        : noDeviceFound)))
                << test.value;
            EXPECT_EQ(result.errors, test.errors) << test.value;
        }
    });
}

// The MIDI system goes away in the middle of the transfer: the next full message is refused.
TEST(UpdateOverJackLost, ServerStoppedMidTransferEndsAsOutputLost) {
    auto server = std::make_unique<PrivateJackServer>();
    ASSERT_TRUE(server->IsRunning()) << server->Log();
    ScratchFolder folder;
    // Every record holds full messages, and the cable's pace makes the transfer last seconds.
    folder.Write(imageName, WriteImageText(MakeImage(std::vector<Bytes>(40, MakePayload(200, 5)))));
    SimulatedDevice device(*server, {"--din"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();

    ProgramResult result;
    const std::vector<std::string> environment = server->Environment();
    std::thread run([&] {
        result = RunProgram(folder.Path(), std::string("'") + UPDATE_PROGRAM + "'", environment);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    server.reset();
    run.join();

    const std::string ending = outputMissing + pausePrompt;
    EXPECT_EQ(result.output.rfind(banner + opened + deviceLines, 0), 0u) << result.output;
    ASSERT_GE(result.output.size(), ending.size());
    EXPECT_EQ(result.output.substr(result.output.size() - ending.size()), ending) << result.output;
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
