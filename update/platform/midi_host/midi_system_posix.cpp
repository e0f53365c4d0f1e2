// Finding the MIDI system for the RtMidi host, keeping the libraries quiet, telling the host's
// own ports from the others, and the locks that keep a port to one updater.
#include "platform/midi_host/midi_system_posix.h"

#include <unistd.h>

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;

constexpr auto longestCycleWait = 1s;
constexpr auto cyclePollInterval = 1ms;
constexpr const char* systemVariable = "UPDATE_MIDI_SYSTEM";

enum class SystemChoice { automatic, alsa, jack };

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

// An unknown value must not leave the user without MIDI: it is named once, on standard error,
// and the choice falls back to the default.
SystemChoice ReadSystemChoice() {
    const char* value = std::getenv(systemVariable);
    if (value == nullptr || value[0] == '\0')
        return SystemChoice::automatic;
    if (strcasecmp(value, "alsa") == 0)
        return SystemChoice::alsa;
    if (strcasecmp(value, "jack") == 0)
        return SystemChoice::jack;
    static std::once_flag told;
    std::call_once(told, [value] {
        std::fprintf(stderr,
                     "%s: %s=%s names no MIDI system (it takes alsa or jack); using the ALSA "
                     "sequencer where it opens, otherwise JACK\n",
                     program_invocation_short_name, systemVariable, value);
    });
    return SystemChoice::automatic;
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

// The name of the client that a port belongs to, as the client asked for it: JACK gives a client
// whose name is taken that name followed by "-01", "-02", ...
std::string_view BaseClientOf(std::string_view port) {
    const std::size_t colon = port.find(':');
    if (colon == std::string_view::npos)
        return {};
    std::string_view client = port.substr(0, colon);
    const std::size_t dash = client.rfind('-');
    if (dash != std::string_view::npos && dash + 1 < client.size() &&
        SkipDigits(client, dash + 1) == client.size()) {
        client = client.substr(0, dash);
    }
    return client;
}

std::string ReachedJackServer() {
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    return server != nullptr && server[0] != '\0' ? server : "default";
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
    const SystemChoice choice = ReadSystemChoice();
    if (choice != SystemChoice::jack && AlsaSequencerOpens()) {
        return std::shared_ptr<MidiSystem>(new MidiSystem(clientName, RtMidi::LINUX_ALSA));
    }
    if (choice == SystemChoice::alsa) {
        return std::shared_ptr<MidiSystem>(new MidiSystem(clientName, RtMidi::UNSPECIFIED));
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
    : clientName_(std::move(clientName)),
      connectingName_(clientName_ + "." + std::to_string(getpid())),
      api_(api) {}

MidiSystem::~MidiSystem() {
    if (lookout_ != nullptr)
        snd_seq_close(lookout_);
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

bool MidiSystem::IsPortPresent(const std::string& fullName) const {
    if (api_ != RtMidi::LINUX_ALSA)
        return true;
    const std::size_t addressStart = fullName.rfind(' ');
    if (addressStart == std::string::npos || !IsAlsaAddress(fullName.substr(addressStart + 1)))
        return true;
    const std::string_view address = std::string_view(fullName).substr(addressStart + 1);
    const int client = std::atoi(address.data());
    const int port = std::atoi(address.data() + address.find(':') + 1);
    std::lock_guard lock(mutex_);
    if (lookout_ == nullptr) {
        if (snd_seq_open(&lookout_, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0) {
            lookout_ = nullptr;
            return true;
        }
        // `aconnect -l` lists it, without ports, as one of this updater's clients.
        snd_seq_set_client_name(lookout_, connectingName_.c_str());
    }
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);
    // Another port may since have taken the address: a USB interface plugged in again is
    // another port, to which this one's connection does not carry over.
    return snd_seq_get_any_client_info(lookout_, client, clientInfo) == 0 &&
           snd_seq_get_any_port_info(lookout_, client, port, portInfo) == 0 &&
           fullName == std::string(snd_seq_client_info_get_name(clientInfo)) + ":" +
                           snd_seq_port_info_get_name(portInfo) + " " + std::string(address);
}

// The server updates the cycle's start in memory that every client shares, so the watcher sees
// it without taking part in the cycles.
jack_nframes_t MidiSystem::CycleStart() const {
    return watcher_ != nullptr ? jack_last_frame_time(watcher_) : 0;
}

void MidiSystem::AwaitCycles(unsigned int count, jack_nframes_t start) const {
    if (watcher_ == nullptr)
        return;
    const jack_nframes_t frames = count * jack_get_buffer_size(watcher_);
    const auto deadline = std::chrono::steady_clock::now() + longestCycleWait;
    while (IsAvailable() && jack_last_frame_time(watcher_) - start < frames &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(cyclePollInterval);
    }
}

bool MidiSystem::IsListenedTo(const std::string& localName) const {
    if (watcher_ == nullptr || !IsAvailable())
        return true;
    const std::string fullName = clientName_ + ":" + localName;
    const jack_port_t* port = jack_port_by_name(watcher_, fullName.c_str());
    return port == nullptr || jack_port_connected(port) > 0;
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
    const std::string_view client = BaseClientOf(fullName);
    if (client == connectingName_)
        return true;
    if (client != clientName_)
        return false;
    const std::string_view port = std::string_view(fullName).substr(fullName.find(':') + 1);
    std::lock_guard lock(mutex_);
    for (const std::string& localName : ownPorts_) {
        if (IsPortNamed(port, localName))
            return true;
    }
    return false;
}

void MidiSystem::MarkConnectingClients() {
    std::lock_guard lock(mutex_);
    if (!clientMark_)
        clientMark_ = PortLock::Take(LockName("client", connectingName_));
}

std::shared_ptr<PortLock> MidiSystem::LockPort(const std::string& fullName) const {
    const std::string name = LockName("port", fullName);
    std::lock_guard lock(mutex_);
    std::weak_ptr<PortLock>& held = portLocks_[name];
    if (std::shared_ptr<PortLock> shared = held.lock())
        return shared;
    std::shared_ptr<PortLock> port = PortLock::Take(name);
    if (!port || PortLock::IsHeld(LockName("client", BaseClientOf(fullName))))
        return nullptr;
    held = port;
    return port;
}

std::string MidiSystem::LockName(std::string_view kind, std::string_view name) const {
    const std::string system = api_ == RtMidi::UNIX_JACK ? "jack " + ReachedJackServer() : "alsa";
    return system + " " + std::string(kind) + " " + std::string(name);
}

OwnPortName::OwnPortName(MidiSystem& system, std::string localName)
    : system_(system), localName_(std::move(localName)) {
    system_.AddOwnPort(localName_);
}

OwnPortName::~OwnPortName() {
    system_.RemoveOwnPort(localName_);
}

std::string DisplayPortName(RtMidi::Api api, const std::string& fullName, std::size_t room) {
    if (fullName.size() <= room || api != RtMidi::LINUX_ALSA)
        return fullName.substr(0, room);
    const std::size_t clientEnd = fullName.find(':');
    const std::size_t addressStart = fullName.rfind(' ');
    if (clientEnd == std::string::npos || addressStart == std::string::npos ||
        addressStart <= clientEnd)
        return fullName.substr(0, room);
    // Kernel clients pad some port names with blanks.
    std::string port = fullName.substr(clientEnd + 1, addressStart - clientEnd - 1);
    port.erase(port.find_last_not_of(' ') + 1);
    return (port + fullName.substr(addressStart)).substr(0, room);
}
