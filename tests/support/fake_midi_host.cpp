#include "fake_midi_host.h"

#include <algorithm>
#include <thread>

class FakeMidiHost::Input : public MidiInputPort {
public:
    Input(FakeMidiHost& host, std::string name) : host_(host), name_(std::move(name)) {}
    ~Input() override {
        host_.openInputs_.erase(name_);
        host_.portEvents_.push_back("close in " + name_);
    }
    bool Start() override { return host_.failingStarts.count(name_) == 0; }

private:
    FakeMidiHost& host_;
    std::string name_;
};

class FakeMidiHost::Output : public MidiOutputPort {
public:
    Output(FakeMidiHost& host, std::string name) : host_(host), name_(std::move(name)) {}
    ~Output() override {
        host_.openOutputs_.erase(host_.openOutputs_.find(name_));
        host_.portEvents_.push_back("close out " + name_);
    }
    bool Send(std::span<const std::uint8_t> message) override { return host_.Send(name_, message); }
    bool IsSending() override { return host_.now_ < host_.busyUntil_; }

private:
    FakeMidiHost& host_;
    std::string name_;
};

FakeMidiHost::FakeMidiHost(std::vector<std::string> inputs, std::vector<std::string> outputs)
    : inputs_(std::move(inputs)), outputs_(std::move(outputs)) {
    InstallMidiHost(this);
    InstallClock(this);
}

FakeMidiHost::~FakeMidiHost() {
    InstallClock(nullptr);
    InstallMidiHost(nullptr);
}

void FakeMidiHost::Schedule(const std::string& input, Message bytes, std::uint64_t delay) {
    pending_.push_back(
        {now_ + std::chrono::milliseconds(delay), scheduled_++, input, std::move(bytes)});
}

std::set<std::string> FakeMidiHost::OpenPorts() const {
    std::set<std::string> open;
    for (const auto& [name, handler] : openInputs_)
        open.insert("in " + name);
    for (const std::string& name : openOutputs_)
        open.insert("out " + name);
    return open;
}

std::unique_ptr<MidiInputPort> FakeMidiHost::OpenInput(const std::string& name,
                                                       SysExHandler handler) {
    if (failingPorts.count(name) != 0 || openInputs_.count(name) != 0)
        return nullptr;
    openInputs_[name] = std::move(handler);
    portEvents_.push_back("open in " + name);
    const auto holding = holdingInputs.find(name);
    for (auto message = held_.begin(); message != held_.end();) {
        if (message->input != name) {
            ++message;
            continue;
        }
        Schedule(name, std::move(message->bytes), holding->second);
        message = held_.erase(message);
    }
    return std::make_unique<Input>(*this, name);
}

std::unique_ptr<MidiOutputPort> FakeMidiHost::OpenOutput(const std::string& name) {
    if (failingPorts.count(name) != 0)
        return nullptr;
    openOutputs_.insert(name);
    portEvents_.push_back("open out " + name);
    return std::make_unique<Output>(*this, name);
}

bool FakeMidiHost::Send(const std::string& output, std::span<const std::uint8_t> bytes) {
    if (refusedSends.count(++sendAttempts_) != 0)
        return false;
    sent_.push_back({output, Message(bytes.begin(), bytes.end()), Now()});
    busyUntil_ = now_ + sendingTime;
    if (device_) {
        for (ScriptedReply& reply : device_(sent_.back())) {
            Schedule(reply.input, std::move(reply.bytes), reply.delay);
        }
    }
    // A reply without delay is there before the send returns.
    DeliverDue();
    return true;
}

std::chrono::microseconds FakeMidiHost::EndOfWait(std::uint32_t milliseconds) const {
    const std::chrono::microseconds end = now_ + std::chrono::milliseconds(milliseconds);
    if (timerTick.count() == 0)
        return end;
    return (end + timerTick - std::chrono::microseconds(1)) / timerTick * timerTick;
}

void FakeMidiHost::SleepMilliseconds(std::uint32_t milliseconds) {
    const std::chrono::microseconds end = EndOfWait(milliseconds);
    while (now_ < end) {
        now_ = std::min(now_ + std::chrono::milliseconds(1), end);
        DeliverDue();
    }
}

bool FakeMidiHost::WaitMilliseconds(std::uint32_t milliseconds,
                                    const std::function<bool()>& ready) {
    const std::chrono::microseconds deadline = EndOfWait(milliseconds);
    while (!ready()) {
        if (now_ >= deadline)
            return false;
        std::chrono::microseconds next = deadline;
        if (busyUntil_ > now_)
            next = std::min(next, busyUntil_);
        for (const Pending& message : pending_)
            next = std::min(next, message.due);
        now_ = next;
        DeliverDue();
    }
    return true;
}

void FakeMidiHost::DeliverDue() {
    std::stable_sort(
        pending_.begin(), pending_.end(), [](const Pending& left, const Pending& right) {
            return left.due < right.due || (left.due == right.due && left.order < right.order);
        });
    while (!pending_.empty() && pending_.front().due <= now_) {
        Pending message = std::move(pending_.front());
        pending_.erase(pending_.begin());
        // A message for a port that is not open is lost, as on a real cable.
        const auto input = openInputs_.find(message.input);
        if (input == openInputs_.end()) {
            if (holdingInputs.count(message.input) != 0)
                held_.push_back(std::move(message));
            continue;
        }
        // Delivered on a thread of its own, as the MIDI system's thread would.
        const SysExHandler handler = input->second;
        std::thread([&handler, &message] { handler(message.bytes); }).join();
    }
}
