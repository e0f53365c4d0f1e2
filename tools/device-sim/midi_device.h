// The simulated device on a MIDI host: creates its virtual ports, carries the messages that
// arrive on the host's thread over to the one thread that runs the device, and sends the
// replies and writes the accepted records from there.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device_session.h"
#include "platform/midi_host/midi_host.h"
#include "simulator_options.h"

using VirtualPortHostFactory =
    std::function<std::unique_ptr<VirtualPortHost>(const std::string& clientName)>;

class MidiDevice : private DeviceEvents {
public:
    // The log goes to output, one flushed line at a time.
    MidiDevice(const SimulatorOptions& options, std::ostream& output);
    ~MidiDevice() override;
    MidiDevice(const MidiDevice&) = delete;
    MidiDevice& operator=(const MidiDevice&) = delete;

    // Opens the file for the accepted records, then makes the hosts and creates the ports,
    // the idle pairs first; false, with the reason in error, when one of them fails.
    bool Open(const VirtualPortHostFactory& createHost, std::string& error);
    // Runs the device until stop is set; stop is looked at every 50 ms at least.
    void Serve(const std::atomic<bool>& stop);
    // Closes the ports and the hosts, then the file. Replies still waiting are dropped.
    void Close();

    std::size_t AcceptedRecords() const { return session_.AcceptedRecords(); }
    std::size_t AcceptedBytes() const { return session_.AcceptedBytes(); }

private:
    struct Arrival {
        Bytes message;
        SimulatorTime time;
    };

    void SendReply(std::span<const std::uint8_t> message) override;
    void AcceptRecord(std::span<const std::uint8_t> record) override;
    void Log(const std::string& line) override;
    // Runs on the host's thread.
    void Deliver(std::span<const std::uint8_t> message);
    SimulatorTime Now() const;

    const SimulatorOptions options_;
    std::ostream& output_;
    DeviceSession session_;
    std::ofstream accepted_;
    const std::chrono::steady_clock::time_point start_;

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Arrival> inbox_;

    // The inputs go first, so that no message comes in once the rest is gone; the hosts go
    // after their ports.
    std::unique_ptr<VirtualPortHost> idleHost_;
    std::unique_ptr<VirtualPortHost> host_;
    std::vector<std::unique_ptr<MidiOutputPort>> outputs_;
    std::vector<std::unique_ptr<MidiInputPort>> inputs_;
    MidiOutputPort* replyPort_ = nullptr;
};
