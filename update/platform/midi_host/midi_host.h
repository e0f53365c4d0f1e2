// The MIDI system where Windows is missing, in two roles: the updater's, behind the Windows
// MIDI stand-in (winmm.h), lists the ports and opens them; the device simulator's makes ports
// of its own for others to open. Both carry complete System Exclusive messages. The real host
// runs on RtMidi (the system that UPDATE_MIDI_SYSTEM names, alsa or jack; unset, the ALSA
// sequencer where it opens, otherwise JACK) and plays both roles; tests fake one role each.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

// Called with each complete System Exclusive message, 0xF0 through 0xF7, on the host's own
// thread. Other messages may come too; the receiver ignores what does not begin with 0xF0.
using SysExHandler = std::function<void(std::span<const std::uint8_t> message)>;

// Closed when destroyed; once the destructor returns, its handler is no longer called.
class MidiInputPort {
public:
    virtual ~MidiInputPort() = default;
    // Whether the port can begin to receive; a MIDI system may refuse to start a port that it
    // has opened.
    virtual bool Start() { return true; }
};

// Closed when destroyed.
class MidiOutputPort {
public:
    virtual ~MidiOutputPort() = default;
    // Hands one complete message to the MIDI system; false when the system refuses it.
    virtual bool Send(std::span<const std::uint8_t> message) = 0;
    // Whether the MIDI system has yet to take part of the last message sent.
    virtual bool IsSending() = 0;
    // Whether anything receives what the port sends; true where the MIDI system cannot tell.
    virtual bool IsListenedTo() { return true; }
};

// The updater's side: other programs' ports.
class MidiHost {
public:
    virtual ~MidiHost() = default;
    // The ports that the program can receive from and send to, in the MIDI system's order,
    // by their full names, which are unique.
    virtual std::vector<std::string> ListInputs() = 0;
    virtual std::vector<std::string> ListOutputs() = 0;
    // Connects to a listed port by its full name; null when that fails, and, as Windows
    // refuses a port in use, while another updater has the port open or the port is one of
    // another updater's own.
    virtual std::unique_ptr<MidiInputPort> OpenInput(const std::string& name,
                                                     SysExHandler handler) = 0;
    virtual std::unique_ptr<MidiOutputPort> OpenOutput(const std::string& name) = 0;
    // What a user recognises of a listed port within room characters, to show; the port is
    // still opened by its full name.
    virtual std::string DisplayName(const std::string& name, std::size_t room) const {
        return name.substr(0, room);
    }
};

// The device simulator's side: ports of the host's own, named name, that others connect to;
// null when the MIDI system refuses them.
class VirtualPortHost {
public:
    virtual ~VirtualPortHost() = default;
    virtual std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string& name,
                                                              SysExHandler handler) = 0;
    virtual std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string& name) = 0;
};

// The machine's MIDI system, which plays both sides; its own virtual ports stay out of its
// port lists.
class SystemMidiHost : public MidiHost, public VirtualPortHost {};

// The machine's MIDI system as a host whose virtual ports' client is called clientName; the
// clients that connect to others' ports add the process id to that name. It holds a few
// clients however many ports it opens, and releases them when it goes. Without any MIDI
// system it is a host without ports. The libraries' own printing is silenced.
std::unique_ptr<SystemMidiHost> CreateSystemMidiHost(const std::string& clientName);

// Replaces the host that the stand-in uses (tests); null returns to the system's host, which
// is created at the first port query. Port lists are taken afresh at the next query.
void InstallMidiHost(MidiHost* host);
