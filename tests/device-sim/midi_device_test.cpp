#include "midi_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "image_writer.h"
#include "updater_messages.h"

namespace {

using namespace std::chrono_literals;

class FakeOutput : public MidiOutputPort {
public:
    bool Send(std::span<const std::uint8_t> message) override {
        std::lock_guard lock(mutex_);
        sent_.emplace_back(message.begin(), message.end());
        return true;
    }
    bool IsSending() override { return false; }
    bool IsListenedTo() override { return listened; }
    std::vector<Bytes> Sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }

    std::atomic<bool> listened = true;

private:
    std::mutex mutex_;
    std::vector<Bytes> sent_;
};

class FakeInput : public MidiInputPort {};

// Hosts whose virtual ports stay within the test: the test plays the hosts' threads.
class FakeHost : public VirtualPortHost {
public:
    FakeHost(std::string clientName, std::vector<std::string>& created)
        : clientName_(std::move(clientName)), created_(created) {}

    std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string& name,
                                                      SysExHandler handler) override {
        if (name == refused)
            return nullptr;
        created_.push_back(clientName_ + ":" + name + " <-");
        handlers[name] = std::move(handler);
        return std::make_unique<FakeInput>();
    }
    std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string& name) override {
        if (name == refused)
            return nullptr;
        created_.push_back(clientName_ + ":" + name + " ->");
        auto port = std::make_unique<FakeOutput>();
        outputs[name] = port.get();
        return port;
    }

    std::string refused;
    std::map<std::string, SysExHandler> handlers;
    std::map<std::string, FakeOutput*> outputs;

private:
    std::string clientName_;
    std::vector<std::string>& created_;
};

class Hosts {
public:
    VirtualPortHostFactory Factory() {
        return [this](const std::string& clientName) {
            auto host = std::make_unique<FakeHost>(clientName, created);
            host->refused = refused;
            byClient[clientName] = host.get();
            return host;
        };
    }
    FakeHost& operator[](const std::string& clientName) { return *byClient.at(clientName); }

    std::string refused;
    std::vector<std::string> created;
    std::map<std::string, FakeHost*> byClient;
};

const Bytes handshake = {0xF0, 0x53, 0x2F, 0x6B, 0x31, 0x4E, 0x25, 0x39, 0xF7};

// Waits up to five seconds for the output to have sent count messages.
void AwaitSent(FakeOutput& output, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (output.Sent().size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

// A device opened on the fake hosts and served on a thread of its own until it stops.
class ServedDevice {
public:
    explicit ServedDevice(const SimulatorOptions& options) : device(options, log) {
        opened = device.Open(hosts.Factory(), error);
        if (opened)
            serving_ = std::thread([this] { device.Serve(stop_); });
    }
    ~ServedDevice() { Stop(); }
    void Stop() {
        stop_ = true;
        if (serving_.joinable())
            serving_.join();
    }

    Hosts hosts;
    std::ostringstream log;
    MidiDevice device;
    std::string error;
    bool opened = false;

private:
    std::atomic<bool> stop_ = false;
    std::thread serving_;
};

TEST(MidiDevice, ServesMessagesThatArriveOnAnotherThread) {
    SimulatorOptions options;
    options.extraPorts = 2;
    options.acceptedPath = testing::TempDir() + "device_sim_accepted.bin";
    ServedDevice served(options);
    ASSERT_TRUE(served.opened) << served.error;
    EXPECT_EQ(served.hosts.created,
              (std::vector<std::string>{"device-sim-idle:out1 ->", "device-sim-idle:in1 <-",
                                        "device-sim-idle:out2 ->", "device-sim-idle:in2 <-",
                                        "device-sim:out ->", "device-sim:in <-"}));
    FakeHost& host = served.hosts["device-sim"];
    FakeHost& idleHost = served.hosts["device-sim-idle"];

    const Bytes record = MakeRecord(MakePayload(70, 6));
    idleHost.handlers["in1"](handshake);
    host.handlers["in"](handshake);
    for (const Bytes& message : UpdaterMessages(record))
        host.handlers["in"](message);
    AwaitSent(*host.outputs["out"], 2);
    served.Stop();

    EXPECT_EQ(host.outputs["out"]->Sent(),
              (std::vector<Bytes>{{0xF0, 0x39, 0xF7}, {0xF0, 0x1A, 0xF7}}));
    EXPECT_TRUE(idleHost.outputs["out1"]->Sent().empty());
    // Read while the device is still open: each record is in the file once it is accepted.
    std::ifstream file(options.acceptedPath, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), record);
    EXPECT_EQ(served.device.AcceptedRecords(), 1u);
    EXPECT_NE(
        served.log.str().find("device-sim: record 1 (74 bytes) attempt 1: checksum good, reply 1A, "
                              "accepted\n"),
        std::string::npos)
        << served.log.str();
    std::filesystem::remove(options.acceptedPath);
}

TEST(MidiDevice, QuietPrintsNothing) {
    SimulatorOptions options;
    options.quiet = true;
    ServedDevice served(options);
    ASSERT_TRUE(served.opened);
    FakeHost& host = served.hosts["device-sim"];
    host.handlers["in"](handshake);
    AwaitSent(*host.outputs["out"], 1);
    served.Stop();
    EXPECT_EQ(host.outputs["out"]->Sent().size(), 1u);
    EXPECT_EQ(served.log.str(), "");
}

// The host's output tells whether anything listens, as a JACK port does; the session keeps the
// answers until something has listened for the hold time.
TEST(MidiDevice, HoldsAnswersWhileItsOutputHasNoListener) {
    SimulatorOptions options;
    options.behaviour.holdAnswers = 30ms;
    ServedDevice served(options);
    ASSERT_TRUE(served.opened);
    FakeHost& host = served.hosts["device-sim"];
    FakeOutput& output = *host.outputs["out"];
    output.listened = false;
    host.handlers["in"](handshake);
    std::this_thread::sleep_for(100ms);
    const std::size_t sentUnheard = output.Sent().size();
    const auto listened = std::chrono::steady_clock::now();
    output.listened = true;
    AwaitSent(output, 1);
    const auto letOut = std::chrono::steady_clock::now();
    served.Stop();

    EXPECT_EQ(sentUnheard, 0u);
    EXPECT_EQ(output.Sent(), (std::vector<Bytes>{{0xF0, 0x39, 0xF7}}));
    EXPECT_GE(letOut - listened, 30ms);
    EXPECT_NE(served.log.str().find("device-sim: reply held: nothing listens\n"
                                    "device-sim: 1 held answers let out\n"),
              std::string::npos)
        << served.log.str();
}

TEST(MidiDevice, OpenFailsWhenAPortOrTheFileCannotBeMade) {
    Hosts hosts;
    hosts.refused = "in";
    std::ostringstream log;
    std::string error;
    EXPECT_FALSE(MidiDevice(SimulatorOptions{}, log).Open(hosts.Factory(), error));
    EXPECT_EQ(error, "cannot create the MIDI input port in");

    SimulatorOptions options;
    options.acceptedPath = testing::TempDir() + "no-such-folder/accepted.bin";
    EXPECT_FALSE(MidiDevice(options, log).Open(hosts.Factory(), error));
    EXPECT_EQ(error, "cannot write the file " + options.acceptedPath);
}

}  // namespace
