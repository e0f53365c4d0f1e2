// The built program against the device simulator behind a USB MIDI interface on the ALSA
// sequencer of a real kernel: the gadget that tests/alsa/guest-init prepares, which the
// kernel's own USB audio driver meets as a class-compliant USB MIDI device once the gadget is
// bound to the emulated controller. The simulator plays the device on the gadget's raw MIDI
// node. The interface is plugged in and its cable pulled as a user does, with the updater
// running.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "console_text.h"
#include "image_writer.h"
#include "mixed_image.h"
#include "program_runner.h"
#include "simulated_device.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string imageName = "TB615R_usb.led";
const std::string opened = OpenedLine(imageName);
// The gadget's own card is number 2, the USB audio driver's card for the interface number 0,
// so its sequencer client is 16 (guest-init).
const std::string deviceNode = "hw:2,0";
// The whole name, "KELVORIN TV615R:KELVORIN TV615R MIDI 1 16:0", does not fit in 31
// characters: the port is shown by its own name and address, as `aconnect -l` lists it.
const std::string usbPort = "KELVORIN TV615R MIDI 1 16:0";
const std::string gadgetBinding = "/sys/kernel/config/usb_gadget/interface/UDC";

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

template <class Condition>
bool AwaitCondition(Condition condition, std::chrono::milliseconds longest) {
    const auto deadline = Clock::now() + longest;
    while (!condition()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Plugged in by Plug, unplugged by Pull or at the end of the test.
class UsbInterface {
public:
    ~UsbInterface() { Pull(); }

    // True once the sequencer lists the interface's port and the gadget's node is there. The
    // cards of an earlier plug must have gone first, their numbers being fixed: so must every
    // program that had the gadget's node open.
    bool Plug() {
        const auto cardsGone = [] {
            return !Exists("/proc/asound/card0") && !Exists("/proc/asound/card2");
        };
        if (!AwaitCondition(cardsGone, 10s))
            return false;
        std::ofstream(gadgetBinding) << "dummy_udc.0\n";
        return AwaitCondition(
            [] {
                return Exists("/dev/snd/midiC2D0") &&
                       ReadText("/proc/asound/seq/clients").find("\"KELVORIN TV615R MIDI 1\"") !=
                           std::string::npos;
            },
            10s);
    }

    // The cable pulled: the gadget leaves the controller, and both cards go with it.
    void Pull() { std::ofstream(gadgetBinding) << "\n"; }
};

class UsbInterfaceOverAlsa : public testing::Test {
protected:
    void SetUp() override { unsetenv("UPDATE_MIDI_SYSTEM"); }

    ProgramResult RunUpdate() {
        return RunProgram(folder_.Path(), std::string("'") + UPDATE_PROGRAM + "'");
    }
    void UseImage(const Bytes& image) {
        image_ = image;
        folder_.Write(imageName, WriteImageText(image_));
    }
    std::string Whole() const { return std::string(image_.begin(), image_.end()); }

    UsbInterface interface_;
    ScratchFolder folder_;
    Bytes image_;
};

// The interface's port comes right after Midi Through, so the search first sends greetings to
// the device while it listens on Midi Through. The interface holds the device's answers until
// its input opens and then lets them all out at once: they must not count for the pair of the
// interface's input with Midi Through's output, the next one tried.
TEST_F(UsbInterfaceOverAlsa, UpdatesOnceAnswersHeldForAnotherInputAreLetOut) {
    UseImage(MixedImage());
    ASSERT_TRUE(interface_.Plug());
    SimulatedDevice device(std::vector<std::string>{}, {"--rawmidi", deviceNode});
    ASSERT_TRUE(device.IsReady()) << device.Stop();

    const ProgramResult result = RunUpdate();
    EXPECT_EQ(result.output,
              PosixConsole(opened + DeviceLines(usbPort, usbPort) + TransferLines(image_)));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(device.AcceptedRecords(), Whole());
}

// The cable is pulled in the middle of the transfer: the next record cannot go, which the
// updater says at once, as it does on Windows. Plugged in again, the device is updated by a
// new run.
TEST_F(UsbInterfaceOverAlsa, CablePulledMidTransferIsSaidAtOnceAndANewRunUpdates) {
    // The cable's pace makes the transfer last seconds.
    UseImage(MakeImage(std::vector<Bytes>(40, MakePayload(200, 7))));
    ASSERT_TRUE(interface_.Plug());
    auto device = std::make_unique<SimulatedDevice>(
        std::vector<std::string>{}, std::vector<std::string>{"--rawmidi", deviceNode, "--din"});
    ASSERT_TRUE(device->IsReady()) << device->Stop();
    ProgramResult result;
    std::thread run([&] { result = RunUpdate(); });
    // Two records of 202 bytes each, their lengths included.
    const bool transferring =
        AwaitCondition([&] { return device->AcceptedRecords().size() >= 2 * 202; }, 60s);
    const auto pulled = Clock::now();
    interface_.Pull();
    run.join();
    ASSERT_TRUE(transferring) << result.output;
    const auto said = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pulled);
    std::cout << "From the pull to the program's end: " << said.count() << " ms\n";

    EXPECT_TRUE(result.output.starts_with(banner + opened + DeviceLines(usbPort, usbPort)))
        << result.output;
    EXPECT_TRUE(result.output.ends_with(outputMissing + pausePrompt)) << result.output;
    EXPECT_EQ(result.output.find(updateSucceeded), std::string::npos);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
    // The program's own part is one reply wait at most (500 ms); the emulated kernel's unbind
    // (about 400 ms) and the program's exit, in a machine slowed by others' work, add the
    // rest. Before the sends were refused, it took twenty unanswered records: ten seconds.
    EXPECT_LT(said, 2s);

    device.reset();
    ASSERT_TRUE(interface_.Plug());
    SimulatedDevice again(std::vector<std::string>{}, {"--rawmidi", deviceNode});
    ASSERT_TRUE(again.IsReady()) << again.Stop();
    const ProgramResult second = RunUpdate();
    EXPECT_EQ(second.output,
              PosixConsole(opened + DeviceLines(usbPort, usbPort) + TransferLines(image_)));
    EXPECT_EQ(second.errors, "");
    EXPECT_EQ(again.AcceptedRecords(), Whole());
}

// The cable is pulled a second into the search, while it listens on Midi Through (which
// echoes each greeting at once, so that its own pair is soon done) and greets the device over
// the interface's output: the greetings that follow cannot go, the interface's ports no
// longer open, and the search ends as it does without a device.
TEST_F(UsbInterfaceOverAlsa, CablePulledDuringTheSearchFindsNoDevice) {
    UseImage(MixedImage());
    ASSERT_TRUE(interface_.Plug());
    SimulatedDevice device(std::vector<std::string>{}, {"--rawmidi", deviceNode});
    ASSERT_TRUE(device.IsReady()) << device.Stop();
    ProgramResult result;
    std::thread run([&] { result = RunUpdate(); });
    std::this_thread::sleep_for(1s);
    interface_.Pull();
    run.join();

    EXPECT_EQ(result.output, PosixConsole(opened + noDeviceFound));
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exitStatus, 0);
}

}  // namespace
