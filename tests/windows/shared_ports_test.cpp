// update.exe on Windows 11's MIDI Service, where every program may open every port: several
// programs meet one device (the device process), and the updater must keep a second updater
// off by itself, and count the ports before it looks at them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "console_text.h"
#include "image_writer.h"
#include "mixed_image.h"
#include "wine_process.h"
#include "wine_program.h"

namespace {

const std::string imageName = "TB615R_shared.led";
const std::string devicePort = "TV615R Device";
const std::string opened = OpenedLine(imageName);
const std::string updated = WindowsConsole(opened + DeviceLines(devicePort, devicePort) +
                                           TransferLines(ManyRecordsImage()));
const std::string keptOff = WindowsConsole(opened + noDeviceFound);
// The device has taken a few records: the transfer is under way.
const std::string transferring = "device: record 10 (";
constexpr double longestWait = 60;

std::string Text(const Bytes& bytes) {
    return {bytes.begin(), bytes.end()};
}

// An updater in a folder of its own holding the image, its driver the device's client by name.
class Updater {
public:
    Updater(const DeviceProcess& device, const std::string& name) {
        folder_.Write(imageName, WriteImageText(ManyRecordsImage()));
        process_.emplace(folder_.Path(), Required("UPDATE_WINDOWS_PROGRAM"),
                         std::vector<std::string>{},
                         std::vector<std::string>{device.ClientVariable(name, LogPath())});
    }
    std::string LogPath() const { return folder_.File("driver.log"); }
    std::string Log() const { return ReadFile(LogPath()); }
    WineProcess& Process() { return *process_; }
    const ProgramResult& Wait() { return process_->Wait(); }

private:
    ScratchFolder folder_;
    std::optional<WineProcess> process_;
};

// The lines of the device's log that show the client sending to the device.
std::size_t MessagesFrom(const std::string& deviceLog, const std::string& client) {
    std::size_t count = 0;
    for (std::size_t at = deviceLog.find(" from " + client + ": "); at != std::string::npos;
         at = deviceLog.find(" from " + client + ": ", at + 1))
        ++count;
    return count;
}

// Each answer comes 20 ms late, so that the transfer outlasts the second updater's start on
// a busy machine.
TEST(SharedPorts, SecondUpdaterStartedDuringTheTransferKeepsOff) {
    DeviceProcess device("--replies-late 20");
    Updater first(device, "first");
    ASSERT_TRUE(AwaitText(device.LogPath(), transferring, longestWait)) << device.Log();
    Updater second(device, "second");
    const ProgramResult secondResult = second.Wait();
    const ProgramResult firstResult = first.Wait();
    const std::string log = device.Log();
    // The second searched while the first was still sending.
    ASSERT_LT(log.find("client second connected"), log.find("client first gone")) << log;

    EXPECT_EQ(secondResult.output, keptOff) << second.Log();
    EXPECT_EQ(MessagesFrom(log, "second"), 0u) << log;
    EXPECT_EQ(firstResult.output, updated) << first.Log();
    EXPECT_EQ(device.Accepted(), Text(ManyRecordsImage())) << log;
    EXPECT_THAT(PortFaults(first.Log()), testing::IsEmpty()) << first.Log();
    EXPECT_THAT(PortFaults(second.Log()), testing::IsEmpty()) << second.Log();
}

// Both search at once: whichever takes the device's ports first may update it, never both;
// both may also miss it, each finding the other's ports taken.
TEST(SharedPorts, TwoUpdatersStartedTogetherNeverBothUpdate) {
    DeviceProcess device("");
    Updater first(device, "first");
    Updater second(device, "second");
    const std::vector<ProgramResult> results = {first.Wait(), second.Wait()};
    const std::string log = device.Log();
    // Each reached the device process: missing it would keep a program off for another reason.
    ASSERT_THAT(log, testing::AllOf(testing::HasSubstr("client first connected"),
                                    testing::HasSubstr("client second connected")));

    const auto updates = std::ranges::count(results, updated, &ProgramResult::output);
    const auto keptOffs = std::ranges::count(results, keptOff, &ProgramResult::output);
    EXPECT_EQ(updates + keptOffs, 2) << results[0].output << results[1].output << log;
    EXPECT_LE(updates, 1) << log;
    EXPECT_EQ(device.Accepted(), updates == 1 ? Text(ManyRecordsImage()) : "") << log;
    if (updates == 1) {
        EXPECT_EQ(MessagesFrom(log, results[0].output == updated ? "second" : "first"), 0u) << log;
    }
}

TEST(SharedPorts, AnUpdaterKilledInTheMiddleLeavesNothingBehind) {
    DeviceProcess device("");
    Updater killed(device, "killed");
    ASSERT_TRUE(AwaitText(device.LogPath(), transferring, longestWait)) << device.Log();
    killed.Process().Kill();
    killed.Wait();
    ASSERT_TRUE(AwaitText(device.LogPath(), "client killed gone", longestWait)) << device.Log();

    Updater next(device, "next");
    EXPECT_EQ(next.Wait().output, updated) << next.Log() << device.Log();
    // The killed one's records, then the whole image from the next one's handshake on.
    const std::string accepted = device.Accepted();
    EXPECT_GT(accepted.size(), Text(ManyRecordsImage()).size());
    EXPECT_TRUE(accepted.ends_with(Text(ManyRecordsImage()))) << device.Log();
}

// Another program listens on the device's input, and another sends MIDI clock to it, for the
// whole update: the clock goes between the updater's messages, and the listener hears every
// answer that the updater hears. A clock merged into the device's answers comes inside each of
// them, as a message of its own.
TEST(SharedPorts, UpdatesBesideAListenerAndAClock) {
    DeviceProcess device("--clock-in-replies");
    const ScratchFolder neighbours;
    const std::string neighbour = Required("UPDATE_TEST_NEIGHBOUR");
    WineProcess listener(neighbours.Path(), neighbour, {"hold", devicePort},
                         {device.ClientVariable("listener", neighbours.File("listener.log"))});
    WineProcess clock(neighbours.Path(), neighbour, {"clock", devicePort},
                      {device.ClientVariable("clock", neighbours.File("clock.log"))});
    ASSERT_TRUE(AwaitText(neighbours.File("listener.log"), "started", longestWait) &&
                AwaitText(device.LogPath(), "from clock: F8", longestWait))
        << device.Log();

    Updater updater(device, "updater");
    EXPECT_EQ(updater.Wait().output, updated) << updater.Log() << device.Log();
    EXPECT_EQ(device.Accepted(), Text(ManyRecordsImage())) << device.Log();
    const std::string log = device.Log();
    const std::size_t firstSend = log.find(" from updater: ");
    const std::size_t lastSend = log.rfind(" from updater: ");
    EXPECT_NE(log.substr(firstSend, lastSend - firstSend).find(" from clock: F8"),
              std::string::npos)
        << log;
    EXPECT_THAT(updater.Log(), testing::HasSubstr("realtime F8 delivered")) << updater.Log();
    const std::string heard = ReadFile(neighbours.File("listener.log"));
    EXPECT_THAT(heard, testing::HasSubstr("message F0 39 F7 delivered")) << heard;
    EXPECT_THAT(heard, testing::HasSubstr("message F0 1A F7 delivered")) << heard;
}

// Messages 1 to 13 are the handshake, record 1 and three messages of record 2; the device's
// interface takes two more, and the next send waits its 1 s and fails.
TEST(SharedPorts, ASendThatTimesOutInARecordEndsTheUpdate) {
    const Bytes image = MakeImage(std::vector<Bytes>(4, MakePayload(200, 5)));
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(image));
    const WineRun run =
        RunUnderWine(folder, "--stall-output-after 13", {}, Personality::midiService);
    EXPECT_EQ(run.program.output, WindowsConsole(opened + DeviceLines(devicePort, devicePort) +
                                                 AcceptedLines(image, 3) + outputMissing));
    EXPECT_THAT(run.driverLog, testing::HasSubstr("failed with MMSYSERR_ERROR")) << run.driverLog;
    EXPECT_THAT(PortFaults(run.driverLog), testing::IsEmpty()) << run.driverLog;
    EXPECT_THAT(PortFaults(run.deviceLog), testing::IsEmpty()) << run.deviceLog;
    EXPECT_LT(run.seconds, 8) << run.driverLog;
}

// Wine's winmm counts the ports itself, so the driver cannot hide them until they are
// counted: Wine's relay trace shows the order of the program's calls instead. Before an
// update of August 2026, Windows 11 showed no port to a program that had not counted them.
TEST(SharedPorts, CountsThePortsBeforeAskingForTheirNames) {
    ScratchFolder folder;
    folder.Write(imageName, WriteImageText(MixedImage()));
    const WineRun run = RunUnderWine(folder, "", {"WINEDEBUG=+relay"}, Personality::midiService);
    EXPECT_EQ(run.program.output, WindowsConsole(opened + DeviceLines(devicePort, devicePort) +
                                                 TransferLines(MixedImage())));
    const std::string& trace = run.program.errors;
    for (const std::string kind : {"In", "Out"}) {
        const std::size_t counted = trace.find("Call winmm.midi" + kind + "GetNumDevs(");
        const std::size_t named = trace.find("Call winmm.midi" + kind + "GetDevCapsA(");
        ASSERT_NE(named, std::string::npos) << trace.substr(0, 4000);
        EXPECT_LT(counted, named) << kind << "\n" << trace.substr(0, 4000);
    }
}

}  // namespace
