// The MIDI system that the RtMidi host runs on, chosen once for each host: the ALSA sequencer
// where it opens, otherwise a running JACK server, otherwise none. Used by the RtMidi host
// only.
#pragma once

#include <RtMidi.h>
#include <jack/jack.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class MidiSystem {
public:
    // Silences the libraries' printing, then looks for a system. Never starts a JACK server:
    // the one reached is the one named by JACK_DEFAULT_SERVER, or the default one.
    static std::shared_ptr<MidiSystem> Choose(const std::string& clientName);
    ~MidiSystem();
    MidiSystem(const MidiSystem&) = delete;
    MidiSystem& operator=(const MidiSystem&) = delete;

    RtMidi::Api Api() const { return api_; }
    const std::string& ClientName() const { return clientName_; }
    // Whether a system was found and, on JACK, its server still runs.
    bool IsAvailable() const;
    // On JACK, waits until the server has begun count more process cycles (a second at
    // most): a change of connections, or what a client has written, takes effect at a cycle.
    void AwaitCycles(unsigned int count) const;

    // Keeps an output, its port closed, until the system goes. RtMidi 5 frees a JACK
    // output's ring buffer before it stops the client's process thread, which may still be
    // reading it when the port has only just closed; later cycles no longer touch it.
    void KeepClosedOutput(std::unique_ptr<RtMidiOut> output);

    // The host's own ports, known by the names that the host gave them, stay out of the port
    // lists.
    void AddOwnPort(const std::string& localName);
    void RemoveOwnPort(const std::string& localName);
    bool IsOwnPort(const std::string& fullName) const;

private:
    MidiSystem(std::string clientName, RtMidi::Api api);
    void WatchServer(jack_client_t* watcher);
    static void OnServerShutdown(void* system);

    std::string clientName_;
    RtMidi::Api api_;
    jack_client_t* watcher_ = nullptr;
    std::atomic<bool> serverGone_{false};
    mutable std::mutex mutex_;
    std::multiset<std::string> ownPorts_;
    std::vector<std::unique_ptr<RtMidiOut>> closedOutputs_;
};

// Counts one of the host's own ports as such for as long as it lives.
class OwnPortName {
public:
    OwnPortName(MidiSystem& system, std::string localName);
    ~OwnPortName();
    OwnPortName(const OwnPortName&) = delete;
    OwnPortName& operator=(const OwnPortName&) = delete;

    const std::string& Name() const { return localName_; }

private:
    MidiSystem& system_;
    std::string localName_;
};
