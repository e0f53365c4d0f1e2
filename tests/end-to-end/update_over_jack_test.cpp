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

#include "image_writer.h"
#include "jack_server.h"
#include "program_runner.h"
#include "simulated_device.h"

namespace {

const std::string banner = "Update V0.3 - Update KELVORIN TV615R System\n";
const std::string prompt = "Press any key to continue . . . \n";
const std::string imageName = "TB615R_e2e.led";
const std::string opened = "OK: File '" + imageName + "' is open.\n";
const std::string deviceLines =
    "The Update Device is Open successfully:\nMIDIIN Device: device-sim:out\n"
    "MIDIOUT Device: device-sim-01:in\n";
const std::string done = "\rTransferring.. 100% done.  \n";
const std::string notFound = "\nFailed: Can't find the suitable device to update!\n\n";
const std::string resetRequest = "Please reset the product and retry again!\n\n";
constexpr char glyphs[] = "--\\\\||//";

// Records of many sizes: empty ones, ones shorter than a message, ones that end exactly at
// a message's end, and ones of many messages.
Bytes MixedImage() {
    std::vector<Bytes> payloads;
    for (std::size_t size : {0, 1, 19, 21, 42, 250, 3, 700, 64, 1000, 7, 88}) {
        payloads.push_back(MakePayload(size, static_cast<std::uint32_t>(size)));
    }
    return MakeImage(payloads);
}

std::vector<std::size_t> RecordSizes(const Bytes& image) {
    std::vector<std::size_t> sizes;
    for (std::size_t position = 0; position < image.size(); position += sizes.back()) {
        sizes.push_back(image[position] * 256u + image[position + 1] + 2u);
    }
    return sizes;
}

std::string ProgressLine(std::size_t accepted, std::size_t ackedBytes, std::size_t total) {
    return "\r                        \rTransferring.. " + std::string(1, glyphs[accepted % 8]) +
           " " + std::to_string(ackedBytes * 100 / total) + "% done";
}

// The progress lines of the records before record number (from 1) stop, all accepted.
std::string AcceptedLines(const Bytes& image, std::size_t stop) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::string lines;
    std::size_t acked = 0;
    for (std::size_t index = 0; index + 1 < stop && index < sizes.size(); ++index) {
        lines += ProgressLine(index, acked, image.size());
        acked += sizes[index];
    }
    return lines;
}

std::size_t BytesBefore(const Bytes& image, std::size_t record) {
    const std::vector<std::size_t> sizes = RecordSizes(image);
    std::size_t bytes = 0;
    for (std::size_t index = 0; index + 1 < record; ++index)
        bytes += sizes[index];
    return bytes;
}

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
        EXPECT_EQ(result.output, banner + messages + prompt);
        EXPECT_EQ(result.errors, "");
        EXPECT_EQ(result.exitStatus, 0);
    }

    PrivateJackServer server;
    ScratchFolder folder;
    Bytes image = MixedImage();
};

TEST_F(UpdateOverJack, WholeImageIsAcceptedAsSent) {
    SimulatedDevice device(server, {});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 13) + done +
                               "\nTarget update successfully!\n\n");
    EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
}

TEST_F(UpdateOverJack, DeviceBehindOtherPortsIsFound) {
    SimulatedDevice device(server, {"--extra-ports", "1"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    const ProgramResult result = RunUpdate();
    EXPECT_NE(result.output.find("MIDIIN Device: device-sim:out\n"), std::string::npos)
        << result.output;
    EXPECT_NE(result.output.find("\nTarget update successfully!\n\n"), std::string::npos);
    EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
}

TEST_F(UpdateOverJack, DeviceAsksForAReset) {
    SimulatedDevice device(server, {"--handshake", "reset"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ExpectRun(RunUpdate(), opened + deviceLines + resetRequest);
    EXPECT_EQ(device.AcceptedRecords(), "");
}

TEST_F(UpdateOverJack, SilentDeviceIsNotFound) {
    SimulatedDevice device(server, {"--handshake", "silent"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ExpectRun(RunUpdate(), opened + notFound);
}

TEST_F(UpdateOverJack, DeviceRestartsAfterAGivenRecord) {
    SimulatedDevice device(server, {"--restart-at", "5"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 5) +
                               ProgressLine(4, BytesBefore(image, 5), image.size()) + done +
                               "Target update successfully!\n" +
                               "\nThe System is restarted, please wait!\n\n");
}

TEST_F(UpdateOverJack, DeviceErrorsRepeatTheRecordUntilTheLimit) {
    SimulatedDevice device(server, {"--on", "3:*=code:24"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    std::string attempts;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        attempts += ProgressLine(2, BytesBefore(image, 3), image.size());
        attempts +=
            attempt < 20 ? "\nThe download file verifies error!\n" : "\nError in updating.\n";
    }
    ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 3) + attempts);
}

TEST_F(UpdateOverJack, SilenceAndLateRepliesAreRepeatedUntilAccepted) {
    SimulatedDevice device(server,
                           {"--on", "2:1=silent", "--on", "4:1=code:20", "--on", "4:2=late:200"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    const std::string lines = AcceptedLines(image, 13);
    ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 2) +
                               ProgressLine(1, BytesBefore(image, 2), image.size()) +
                               AcceptedLines(image, 4).substr(AcceptedLines(image, 2).size()) +
                               ProgressLine(3, BytesBefore(image, 4), image.size()) +
                               "\nThe CRC of the download file is error!\n" +
                               lines.substr(AcceptedLines(image, 4).size()) + done +
                               "\nTarget update successfully!\n\n");
    EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
}

TEST_F(UpdateOverJack, SilentDeviceEndsAsNotResponding) {
    SimulatedDevice device(server, {"--on", "2:*=silent"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    std::string attempts;
    for (int attempt = 1; attempt <= 20; ++attempt) {
        attempts += ProgressLine(1, BytesBefore(image, 2), image.size());
    }
    ExpectRun(RunUpdate(), opened + deviceLines + AcceptedLines(image, 2) + attempts +
                               "\nFailed: Target is not responding.\n\n");
}

// A second updater started at the same time finds the device's ports in use, and the first
// one's own ports too, as on Windows: it reports no device, and the device takes the image
// once.
TEST_F(UpdateOverJack, SecondUpdaterAtOnceFindsThePortsInUse) {
    SimulatedDevice device(server, {});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ScratchFolder secondFolder;
    secondFolder.Write(imageName, WriteImageText(image));
    ProgramResult second;
    const std::vector<std::string> environment = server.Environment();
    std::thread other([&] {
        second =
            RunProgram(secondFolder.Path(), std::string("'") + UPDATE_PROGRAM + "'", environment);
    });
    const ProgramResult first = RunUpdate();
    other.join();

    const std::string updated = banner + opened + deviceLines + AcceptedLines(image, 13) + done +
                                "\nTarget update successfully!\n\n" + prompt;
    const std::string refused = banner + opened + notFound + prompt;
    EXPECT_TRUE((first.output == updated && second.output == refused) ||
                (first.output == refused && second.output == updated))
        << "first:\n"
        << first.output << "\nsecond:\n"
        << second.output;
    EXPECT_EQ(first.errors + second.errors, "");
    EXPECT_EQ(device.AcceptedRecords(), std::string(image.begin(), image.end()));
}

// An updater killed in the middle of a transfer leaves neither a lock nor a client behind: the
// next one updates the device.
TEST_F(UpdateOverJack, UpdaterKilledMidTransferLeavesThePortsFree) {
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
    EXPECT_NE(result.output.find("\nTarget update successfully!\n\n"), std::string::npos);
    EXPECT_TRUE(
        device.AcceptedRecords().ends_with(std::string(slowImage.begin(), slowImage.end())));
    EXPECT_EQ(server.ClientCount(), clients);
}

// UPDATE_MIDI_SYSTEM chooses the MIDI system; an unknown name is told once and the default
// taken: the ALSA sequencer where it opens, JACK otherwise. The device is on JACK.
TEST_F(UpdateOverJack, MidiSystemIsTheOneNamed) {
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
        EXPECT_EQ(result.output,
                  banner + opened + (test.onJack ? deviceLines + resetRequest : notFound) + prompt)
            << test.value;
        EXPECT_EQ(result.errors, test.errors) << test.value;
    }
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

    const std::string ending = "\nError: The MIDI Out of device is missing!\n\n" + prompt;
    EXPECT_EQ(result.output.rfind(banner + opened + deviceLines, 0), 0u) << result.output;
    ASSERT_GE(result.output.size(), ending.size());
    EXPECT_EQ(result.output.substr(result.output.size() - ending.size()), ending) << result.output;
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
