// The MIDI system that the RtMidi host runs on, chosen once for each host: the one that
// UPDATE_MIDI_SYSTEM names (alsa or jack), otherwise the ALSA sequencer where it opens, otherwise
// a running JACK server, otherwise none. Used by the RtMidi host only.
#pragma once

#include <RtMidi.h>
#include <alsa/asoundlib.h>
#include <jack/jack.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/midi_host/port_lock_posix.h"

class MidiSystem {
public:
    // Silences the libraries' printing, then looks for a system. Never starts a JACK server:
    // the one reached is the one named by JACK_DEFAULT_SERVER, or the default one.
    static std::shared_ptr<MidiSystem> Choose(const std::string& clientName);
    ~MidiSystem();
    MidiSystem(const MidiSystem&) = delete;
    MidiSystem& operator=(const MidiSystem&) = delete;

    RtMidi::Api Api() const { return api_; }
    // The name of the clients that carry the host's virtual ports.
    const std::string& ClientName() const { return clientName_; }
    // The name of the clients that connect to other programs' ports: the host's name and the
    // process id, so that every updater's ports can be told from any other's.
    const std::string& ConnectingName() const { return connectingName_; }
    // Whether a system was found and, on JACK, its server still runs.
    bool IsAvailable() const;
    // Whether the port listed as fullName is still there. A port of the ALSA sequencer may go
    // without a word to those connected to it (a USB interface unplugged), and what they send
    // then goes nowhere; elsewhere the port counts as there.
    bool IsPortPresent(const std::string& fullName) const;

    // On JACK, the frame time at which the current process cycle began; 0 elsewhere.
    jack_nframes_t CycleStart() const;
    // On JACK, waits until count more process cycles have begun since the cycle that began at
    // start (a second at most): a change of connections, or what a client has written, takes
    // effect at a cycle.
    void AwaitCycles(unsigned int count, jack_nframes_t start) const;
    void AwaitCycles(unsigned int count) const { AwaitCycles(count, CycleStart()); }
    // On JACK, whether the host's own virtual port of that local name is connected to another
    // port; true elsewhere, and where the port cannot be found under the host's client name.
    bool IsListenedTo(const std::string& localName) const;

    // Keeps an output, its port closed, until the system goes. RtMidi 5 frees a JACK
    // output's ring buffer before it stops the client's process thread, which may still be
    // reading it when the port has only just closed; later cycles no longer touch it.
    void KeepClosedOutput(std::unique_ptr<RtMidiOut> output);

    // Port names of the host's own that stay out of its port lists: every port of the
    // connecting clients, and the virtual ports by the local names that the host gave them.
    void AddOwnPort(const std::string& localName);
    void RemoveOwnPort(const std::string& localName);
    bool IsOwnPort(const std::string& fullName) const;

    // Marks the connecting clients as an updater's for as long as the system lives. Taken
    // before the first of them is made, so that no other updater ever sees one unmarked.
    void MarkConnectingClients();
    // The lock for a port that the host connects to; null when another updater has that port
    // open, in either direction, or when the port is one of another updater's own. The host's
    // own ports of both directions share one lock: on the ALSA sequencer a USB interface is one
    // port that goes both ways, and the input must not keep the output off it.
    std::shared_ptr<PortLock> LockPort(const std::string& fullName) const;

private:
    MidiSystem(std::string clientName, RtMidi::Api api);
    void WatchServer(jack_client_t* watcher);
    static void OnServerShutdown(void* system);
    // Lock names hold the system and, on JACK, the server: the same port names recur on every
    // server.
    std::string LockName(std::string_view kind, std::string_view name) const;

    std::string clientName_;
    std::string connectingName_;
    RtMidi::Api api_;
    jack_client_t* watcher_ = nullptr;
    // A client without ports that looks ports up on the ALSA sequencer, opened when first needed.
    mutable snd_seq_t* lookout_ = nullptr;
    std::atomic<bool> serverGone_{false};
    mutable std::mutex mutex_;
    std::multiset<std::string> ownPorts_;
    mutable std::map<std::string, std::weak_ptr<PortLock>> portLocks_;
    std::vector<std::unique_ptr<RtMidiOut>> closedOutputs_;
    std::unique_ptr<PortLock> clientMark_;
};

// A port's name within room characters: the whole name where it fits. Otherwise, on the ALSA
// sequencer, whose names run "CLIENT:PORT C:P" and whose kernel clients' names are long
// ("Virtual Raw MIDI 1-0:VirMIDI 1-0 20:0"), the port's own name and its address, as
// `aconnect -l` shows them, rather than the client's name cut in the middle of a word.
std::string DisplayPortName(RtMidi::Api api, const std::string& fullName, std::size_t room);

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
