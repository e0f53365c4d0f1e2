// The built program against the device simulator on the ALSA sequencer of a real kernel
// (tests/alsa/run-in-vm): the simulator plays the device on a VirMIDI raw node, so the
// updater meets it at a kernel client's port that goes both ways, as it meets a USB MIDI
// interface, behind "Midi Through" (which echoes every message) and the other VirMIDI ports.
// Each case compares the whole console text and the records that the device holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "case_name.h"
#include "console_text.h"
#include "image_writer.h"
#include "mixed_image.h"
#include "program_runner.h"
#include "simulated_device.h"

namespace {

using namespace std::chrono_literals;

const std::string imageName = "TB615R_alsa.led";
const std::string opened = OpenedLine(imageName);

// The node of VirMIDI port N of card 1, and how the updater shows the port: its whole name
// "Virtual Raw MIDI 1-N:VirMIDI 1-N 2N:0" does not fit in 31 characters.
std::string Node(int port) {
    return "hw:1," + std::to_string(port);
}
std::string DeviceLinesAt(int port) {
    const std::string name =
        "VirMIDI 1-" + std::to_string(port) + " " + std::to_string(20 + port) + ":0";
    return DeviceLines(name, name);
}

std::string Whole(const Bytes& image) {
    return std::string(image.begin(), image.end());
}
// The size of the record at start: its 2-byte length (high byte first) and as many bytes
// after it.
std::size_t RecordSize(const Bytes& image, std::size_t start) {
    return 2 + (std::size_t{image[start]} << 8 | image[start + 1]);
}
// The first count records of the image.
std::string FirstRecords(const Bytes& image, std::size_t count) {
    std::size_t end = 0;
    for (std::size_t record = 0; record < count && end + 2 <= image.size(); ++record)
        end += RecordSize(image, end);
    return std::string(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(end));
}
constexpr std::size_t everyRecord = 1000;

// Whether held is the image's records in order, each once or twice in a row. A record whose
// reply was lost goes again, and the device, which had answered it, cannot tell that repeat
// from the image's next record: it takes it as one. The image's own records are not the same
// twice in a row.
bool HoldsEachRecordOnceOrTwice(const std::string& held, const Bytes& image) {
    std::size_t at = 0;
    std::size_t start = 0;
    while (start + 2 <= image.size()) {
        const std::size_t size = RecordSize(image, start);
        const std::string record(image.begin() + static_cast<std::ptrdiff_t>(start),
                                 image.begin() + static_cast<std::ptrdiff_t>(start + size));
        if (held.compare(at, size, record) != 0)
            return false;
        at += size;
        if (held.compare(at, size, record) == 0)
            at += size;
        start += size;
    }
    return at == held.size();
}

class UpdateOverAlsa : public testing::Test {
protected:
    // The program's default, with UPDATE_MIDI_SYSTEM unset, is the ALSA sequencer.
    void SetUp() override { unsetenv("UPDATE_MIDI_SYSTEM"); }

    ProgramResult RunUpdate(const ScratchFolder& where,
                            const std::vector<std::string>& environment = {}) {
        return RunProgram(where.Path(), std::string("'") + UPDATE_PROGRAM + "'", environment);
    }
    void UseImage(const Bytes& image) {
        image_ = image;
        folder_.Write(imageName, WriteImageText(image_));
    }

    ScratchFolder folder_;
    Bytes image_;
};

struct AlsaCase {
    std::string name;
    int port;                              // the VirMIDI port of the device
    std::vector<std::string> arguments;    // the simulator's
    std::vector<std::string> environment;  // the updater's
    std::string (*messages)(const Bytes& image);
    std::size_t records;  // how many of the image's records the device holds at the end
};

class AlsaCases : public UpdateOverAlsa, public testing::WithParamInterface<AlsaCase> {};

TEST_P(AlsaCases, ConsoleAndRecords) {
    const AlsaCase& test = GetParam();
    UseImage(MixedImage());
    std::vector<std::string> arguments = {"--rawmidi", Node(test.port)};
    arguments.insert(arguments.end(), test.arguments.begin(), test.arguments.end());
    SimulatedDevice device(std::vector<std::string>{}, arguments);
    ASSERT_TRUE(device.IsReady()) << device.Stop();

    const ProgramResult result = RunUpdate(folder_, test.environment);
    EXPECT_EQ(result.output, PosixConsole(opened + test.messages(image_)));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(device.AcceptedRecords(), FirstRecords(image_, test.records));
}

INSTANTIATE_TEST_SUITE_P(
    Alsa, AlsaCases,
    testing::Values(
        AlsaCase{"WholeImageByDefault",
                 0,
                 {},
                 {},
                 [](const Bytes& image) { return DeviceLinesAt(0) + TransferLines(image); },
                 everyRecord},
        // Midi Through and VirMIDI 1-0 come first; VirMIDI 1-0's node is closed, so its port
        // stays silent.
        AlsaCase{"BehindDecoysWhenAlsaIsNamed",
                 1,
                 {},
                 {"UPDATE_MIDI_SYSTEM=alsa"},
                 [](const Bytes& image) { return DeviceLinesAt(1) + TransferLines(image); },
                 everyRecord},
        AlsaCase{"ResetRequest",
                 0,
                 {"--handshake", "reset"},
                 {},
                 [](const Bytes&) { return DeviceLinesAt(0) + resetRequest; },
                 0},
        AlsaCase{"RefusedRecordIsSentAgain",
                 0,
                 {"--on", "3:1=code:20"},
                 {},
                 [](const Bytes& image) {
                     return DeviceLinesAt(0) +
                            TransferLines(image, 3, "\nThe CRC of the download file is error!\n");
                 },
                 everyRecord},
        AlsaCase{"UnansweredRecordIsSentAgain",
                 0,
                 {"--on", "2:1=silent"},
                 {},
                 [](const Bytes& image) { return DeviceLinesAt(0) + TransferLines(image, 2); },
                 everyRecord},
        AlsaCase{"Restart",
                 0,
                 {"--restart-at", "5"},
                 {},
                 [](const Bytes& image) {
                     return DeviceLinesAt(0) + AcceptedLines(image, 6) + restartEnding;
                 },
                 5},
        // No JACK server runs in the guest: the system named is used, and it has no ports.
        AlsaCase{"JackNamed",
                 0,
                 {},
                 {"UPDATE_MIDI_SYSTEM=jack"},
                 [](const Bytes&) { return noDeviceFound; },
                 0}),
    NameCase);

// A second updater started at the same moment meets the first one's locks: one updates the
// device and the other, having tried every pair it may open, says it can't find the device.
// The winner's transfer is paced as a DIN cable and outlasts the loser's search over the
// remaining pairs (about 16 silent pairs), so that the loser never meets a device set free.
// Its records are short enough to cross the cable well within the updater's 500 ms wait.
TEST_F(UpdateOverAlsa, SecondUpdaterAtOnceFindsThePortsInUse) {
    UseImage(MakeImage(std::vector<Bytes>(280, MakePayload(200, 3))));
    SimulatedDevice device(std::vector<std::string>{}, {"--rawmidi", Node(0), "--din"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ScratchFolder secondFolder;
    secondFolder.Write(imageName, WriteImageText(image_));
    ProgramResult second;
    std::thread other([&] { second = RunUpdate(secondFolder); });
    const ProgramResult first = RunUpdate(folder_);
    other.join();

    const bool firstUpdated = first.output.find(updateSucceeded) != std::string::npos;
    const ProgramResult& winner = firstUpdated ? first : second;
    const ProgramResult& loser = firstUpdated ? second : first;
    EXPECT_EQ(winner.output, PosixConsole(opened + DeviceLinesAt(0) + TransferLines(image_)));
    EXPECT_EQ(loser.output, PosixConsole(opened + noDeviceFound));
    EXPECT_EQ(first.errors + second.errors, "");
    EXPECT_EQ(device.AcceptedRecords(), Whole(image_));
}

// The device dies in the middle of the transfer: the kernel keeps its port, which takes the
// records and never answers, so the updater ends as it does with a USB interface whose
// device lost its power.
TEST_F(UpdateOverAlsa, DeviceKilledMidTransferStopsResponding) {
    UseImage(MakeImage(std::vector<Bytes>(12, MakePayload(200, 7))));
    SimulatedDevice device(std::vector<std::string>{}, {"--rawmidi", Node(0), "--din"});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ProgramResult result;
    std::thread run([&] { result = RunUpdate(folder_); });
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (device.AcceptedRecords().size() < FirstRecords(image_, 2).size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    device.Kill();
    run.join();

    // The device may have taken a record whose answer it never sent.
    const std::size_t held = device.AcceptedRecords().size();
    std::size_t accepted = 0;
    while (accepted < 12 && FirstRecords(image_, accepted + 1).size() <= held)
        ++accepted;
    ASSERT_EQ(device.AcceptedRecords(), FirstRecords(image_, accepted));
    const auto ending = [&](std::size_t answered) {
        return PosixConsole(opened + DeviceLinesAt(0) + AcceptedLines(image_, answered + 1) +
                            RepeatedRecordLines(image_, answered + 1, 20) +
                            "\nFailed: Target is not responding.\n\n");
    };
    EXPECT_TRUE(result.output == ending(accepted) || result.output == ending(accepted - 1))
        << result.output;
    EXPECT_EQ(result.errors, "");
}

// Another source on the device's port floods the updater's input with notes, in bursts far
// beyond the sequencer's queue for a client (200 events by default). The sequencer drops
// what does not fit, and RtMidi reports it on standard error, where the user sees it: the
// program cannot silence it, as RtMidi writes it straight to std::cerr. RtMidi 5.0.0 means to
// report "MIDI input buffer overrun!", but its poll for pending events takes the sequencer's
// overflow error first, so on this kernel the next read reports EAGAIN as an unknown input
// error; either report is taken. A reply lost with the notes counts as an unanswered attempt
// and the record goes again, so the transfer ends well, and the device holds the image in
// order, with the records whose replies were lost taken twice.
TEST_F(UpdateOverAlsa, FloodedInputStillUpdates) {
    UseImage(MixedImage());
    SimulatedDevice device(std::vector<std::string>{}, {"--rawmidi", Node(0)});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    const int node = open("/dev/snd/midiC1D0", O_WRONLY);
    ASSERT_GE(node, 0);
    std::atomic<bool> done = false;
    std::thread flood([&] {
        std::vector<std::uint8_t> burst;
        for (int note = 0; note < 2000; ++note)
            burst.insert(burst.end(), {0x90, static_cast<std::uint8_t>(note % 128), 0x40});
        while (!done) {
            if (write(node, burst.data(), burst.size()) < 0)
                break;
            std::this_thread::sleep_for(300ms);
        }
    });
    const ProgramResult result = RunUpdate(folder_);
    done = true;
    flood.join();
    close(node);

    const std::string head = banner + opened + DeviceLinesAt(0);
    const std::string tail = transferDone + updateSucceeded + pausePrompt;
    EXPECT_TRUE(result.output.starts_with(head) && result.output.ends_with(tail)) << result.output;
    const std::vector<std::string> reports = {
        "\nMidiInAlsa::alsaMidiHandler: MIDI input buffer overrun!\n\n",
        "\nMidiInAlsa::alsaMidiHandler: unknown MIDI input error!\nSystem reports: Resource "
        "temporarily unavailable\n"};
    std::string errors = result.errors;
    std::size_t overruns = 0;
    for (bool found = true; found;) {
        found = false;
        for (const std::string& report : reports) {
            if (errors.starts_with(report)) {
                errors.erase(0, report.size());
                found = true;
                ++overruns;
            }
        }
    }
    EXPECT_GT(overruns, 0u) << "the flood never filled the queue";
    EXPECT_EQ(errors, "") << result.errors;
    EXPECT_TRUE(HoldsEachRecordOnceOrTwice(device.AcceptedRecords(), image_)) << device.Stop();
}

}  // namespace
