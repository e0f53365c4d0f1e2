#include "midi_device.h"

#include <algorithm>

namespace {

constexpr auto stopCheck = std::chrono::milliseconds(50);
// How often a device that holds answers looks whether something listens now.
constexpr auto listenerCheck = std::chrono::milliseconds(2);

}  // namespace

MidiDevice::MidiDevice(const SimulatorOptions& options, std::ostream& output)
    : options_(options),
      output_(output),
      session_(options.behaviour, *this),
      start_(std::chrono::steady_clock::now()) {}

MidiDevice::~MidiDevice() {
    Close();
}

bool MidiDevice::Open(const VirtualPortHostFactory& createHost, std::string& error) {
    if (!options_.acceptedPath.empty()) {
        accepted_.open(options_.acceptedPath, std::ios::binary | std::ios::trunc);
        if (!accepted_) {
            error = "cannot write the file " + options_.acceptedPath;
            return false;
        }
    }
    const auto addOutput = [&](VirtualPortHost& host, const std::string& name) {
        outputs_.push_back(host.CreateVirtualOutput(name));
        if (!outputs_.back())
            error = "cannot create the MIDI output port " + name;
        return outputs_.back().get();
    };
    const auto addInput = [&](VirtualPortHost& host, const std::string& name,
                              SysExHandler handler) {
        inputs_.push_back(host.CreateVirtualInput(name, std::move(handler)));
        if (!inputs_.back())
            error = "cannot create the MIDI input port " + name;
        return inputs_.back() != nullptr;
    };
    if (options_.extraPorts > 0)
        idleHost_ = createHost(IdleClientName(options_.clientName));
    if (options_.extraPorts > 0 && !idleHost_) {
        error = "cannot make the MIDI client " + IdleClientName(options_.clientName);
        return false;
    }
    for (std::uint32_t pair = 1; pair <= options_.extraPorts; ++pair) {
        if (!addOutput(*idleHost_, IdleOutputPortName(pair)) ||
            !addInput(*idleHost_, IdleInputPortName(pair), [](std::span<const std::uint8_t>) {})) {
            return false;
        }
    }
    host_ = createHost(options_.clientName);
    if (!host_) {
        if (error.empty())
            error = "cannot make the MIDI client " + options_.clientName;
        return false;
    }
    replyPort_ = addOutput(*host_, outputPortName);
    const auto deliver = [this](std::span<const std::uint8_t> message) { Deliver(message); };
    if (!replyPort_ || !addInput(*host_, inputPortName, deliver))
        return false;
    Log("client " + options_.clientName + ", ports " + outputPortName + " (to the updater) and " +
        inputPortName + " (from it), after " + std::to_string(options_.extraPorts) + " idle pairs" +
        (options_.behaviour.dinCable ? ", paced as a DIN cable" : ""));
    return true;
}

void MidiDevice::Serve(const std::atomic<bool>& stop) {
    std::vector<Arrival> arrivals;
    while (!stop) {
        SimulatorTime now;
        {
            std::unique_lock lock(mutex_);
            auto deadline = std::chrono::steady_clock::now() + stopCheck;
            if (const auto next = session_.NextDue())
                deadline = std::min(deadline, start_ + *next);
            if (session_.HeldAnswers() > 0)
                deadline = std::min(deadline, std::chrono::steady_clock::now() + listenerCheck);
            arrived_.wait_until(lock, deadline, [&] { return !inbox_.empty() || stop; });
            // Read under the lock: every message in the inbox then arrived no later than now,
            // and every later one will carry a later time.
            now = Now();
            arrivals.swap(inbox_);
        }
        for (const Arrival& arrival : arrivals)
            session_.Receive(arrival.message, arrival.time);
        arrivals.clear();
        // Asked only of a device that holds answers: for the others the question would cost
        // time on every turn and change nothing.
        if (options_.behaviour.holdAnswers)
            session_.SetListened(replyPort_ != nullptr && replyPort_->IsListenedTo(), now);
        session_.Advance(now);
    }
}

void MidiDevice::Close() {
    inputs_.clear();
    replyPort_ = nullptr;
    outputs_.clear();
    host_.reset();
    idleHost_.reset();
    if (accepted_.is_open())
        accepted_.close();
}

void MidiDevice::SendReply(std::span<const std::uint8_t> message) {
    if (replyPort_ == nullptr || !replyPort_->Send(message))
        Log("the reply could not be sent");
}

void MidiDevice::AcceptRecord(std::span<const std::uint8_t> record) {
    if (!accepted_.is_open())
        return;
    accepted_.write(reinterpret_cast<const char*>(record.data()),
                    static_cast<std::streamsize>(record.size()));
    accepted_.flush();
    if (!accepted_)
        Log("cannot write the file " + options_.acceptedPath);
}

void MidiDevice::Log(const std::string& line) {
    if (options_.quiet)
        return;
    output_ << "device-sim: " << line << '\n' << std::flush;
}

void MidiDevice::Deliver(std::span<const std::uint8_t> message) {
    {
        std::lock_guard lock(mutex_);
        inbox_.push_back({Bytes(message.begin(), message.end()), Now()});
    }
    arrived_.notify_one();
}

SimulatorTime MidiDevice::Now() const {
    return std::chrono::duration_cast<SimulatorTime>(std::chrono::steady_clock::now() - start_);
}
