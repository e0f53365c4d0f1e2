// Finding the MIDI system for the RtMidi host, keeping the libraries quiet, and telling the
// host's own ports from the others.
#include "platform/midi_system_posix.h"

#include <alsa/asoundlib.h>

#include <cctype>
#include <chrono>
#include <string_view>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr auto kLongestWait = 1s;
constexpr auto kPollInterval = 1ms;

void IgnoreAlsaMessage(const char*, int, const char*, int, const char*, ...) {}
void IgnoreJackMessage(const char*) {}
void IgnoreRtMidiError(RtMidiError::Type, const std::string&, void*) {}

// The handlers are process-wide; RtMidi and libjack would otherwise print to standard error
// when a system is missing or a client comes and goes.
void SilenceLibraries() {
    static std::once_flag silenced;
    std::call_once(silenced, [] {
        snd_lib_error_set_handler(&IgnoreAlsaMessage);
        jack_set_error_function(&IgnoreJackMessage);
        jack_set_info_function(&IgnoreJackMessage);
    });
}

bool AlsaSequencerOpens() {
    snd_seq_t* sequencer = nullptr;
    if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
        return false;
    snd_seq_close(sequencer);
    return true;
}

bool IsDigit(char character) {
    return std::isdigit(static_cast<unsigned char>(character)) != 0;
}

std::size_t SkipDigits(std::string_view text, std::size_t at) {
    while (at < text.size() && IsDigit(text[at]))
        ++at;
    return at;
}

// JACK gives a client whose name is taken that name followed by "-01", "-02", ...
std::size_t SkipRenumbering(std::string_view name, std::size_t at) {
    if (at + 1 < name.size() && name[at] == '-' && IsDigit(name[at + 1])) {
        return SkipDigits(name, at + 1);
    }
    return at;
}

// RtMidi ends an ALSA port's name with the client's and the port's numbers: "sim:out 128:0".
bool IsAlsaAddress(std::string_view text) {
    const std::size_t colon = SkipDigits(text, 0);
    if (colon == 0 || colon >= text.size() || text[colon] != ':')
        return false;
    const std::size_t end = SkipDigits(text, colon + 1);
    return end > colon + 1 && end == text.size();
}

bool IsPortNamed(std::string_view port, const std::string& localName) {
    if (port == localName)
        return true;
    return port.size() > localName.size() + 1 && port.starts_with(localName) &&
           port[localName.size()] == ' ' && IsAlsaAddress(port.substr(localName.size() + 1));
}

}  // namespace

std::shared_ptr<MidiSystem> MidiSystem::Choose(const std::string& clientName) {
    SilenceLibraries();
    if (AlsaSequencerOpens()) {
        return std::shared_ptr<MidiSystem>(new MidiSystem(clientName, RtMidi::LINUX_ALSA));
    }
    // The watcher is a client of its own name, without ports: RtMidi's clients keep the
    // host's name, and the watcher learns at once when the server goes away.
    const std::string watcherName = clientName + "-watch";
    jack_client_t* watcher = jack_client_open(watcherName.c_str(), JackNoStartServer, nullptr);
    if (watcher == nullptr) {
        return std::shared_ptr<MidiSystem>(new MidiSystem(clientName, RtMidi::UNSPECIFIED));
    }
    std::shared_ptr<MidiSystem> system(new MidiSystem(clientName, RtMidi::UNIX_JACK));
    system->WatchServer(watcher);
    return system;
}

MidiSystem::MidiSystem(std::string clientName, RtMidi::Api api)
    : clientName_(std::move(clientName)), api_(api) {}

MidiSystem::~MidiSystem() {
    if (!closedOutputs_.empty()) {
        AwaitCycles(2);
        closedOutputs_.clear();
    }
    if (watcher_ != nullptr)
        jack_client_close(watcher_);
}

void MidiSystem::WatchServer(jack_client_t* watcher) {
    watcher_ = watcher;
    jack_on_shutdown(watcher_, &MidiSystem::OnServerShutdown, this);
}

void MidiSystem::OnServerShutdown(void* system) {
    static_cast<MidiSystem*>(system)->serverGone_ = true;
}

bool MidiSystem::IsAvailable() const {
    return api_ != RtMidi::UNSPECIFIED && !serverGone_;
}

void MidiSystem::AwaitCycles(unsigned int count) const {
    if (watcher_ == nullptr)
        return;
    // The start of the current cycle, which the server updates in memory that every client
    // shares, so the watcher sees it without taking part in the cycles.
    const jack_nframes_t start = jack_last_frame_time(watcher_);
    const jack_nframes_t frames = count * jack_get_buffer_size(watcher_);
    const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
    while (IsAvailable() && jack_last_frame_time(watcher_) - start < frames &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
}

void MidiSystem::KeepClosedOutput(std::unique_ptr<RtMidiOut> output) {
    // The port's error flag goes with the port.
    output->setErrorCallback(&IgnoreRtMidiError, nullptr);
    std::lock_guard lock(mutex_);
    closedOutputs_.push_back(std::move(output));
}

void MidiSystem::AddOwnPort(const std::string& localName) {
    std::lock_guard lock(mutex_);
    ownPorts_.insert(localName);
}

void MidiSystem::RemoveOwnPort(const std::string& localName) {
    std::lock_guard lock(mutex_);
    const auto found = ownPorts_.find(localName);
    if (found != ownPorts_.end())
        ownPorts_.erase(found);
}

bool MidiSystem::IsOwnPort(const std::string& fullName) const {
    const std::string_view name(fullName);
    if (!name.starts_with(clientName_))
        return false;
    const std::size_t colon = SkipRenumbering(name, clientName_.size());
    if (colon >= name.size() || name[colon] != ':')
        return false;
    const std::string_view port = name.substr(colon + 1);
    std::lock_guard lock(mutex_);
    for (const std::string& localName : ownPorts_) {
        if (IsPortNamed(port, localName))
            return true;
    }
    return false;
}

OwnPortName::OwnPortName(MidiSystem& system, std::string localName)
    : system_(system), localName_(std::move(localName)) {
    system_.AddOwnPort(localName_);
}

OwnPortName::~OwnPortName() {
    system_.RemoveOwnPort(localName_);
}
