// The MIDI host in the page, over Web MIDI (browser_midi.js holds the browser's side). The
// access to MIDI with System Exclusive is asked for at the first port query of each run,
// after the image has checked out; without it the host has no ports, as a machine without a
// MIDI system. Ports are listed by their Web MIDI ids, which are unique, and shown by name.
// Messages arrive while the program waits in the browser's event loop (clock_web.cpp), and
// are handed to their input from there, as a MIDI system's thread would hand them on.
#include <emscripten.h>

#include <cstdlib>
#include <map>
#include <utility>

#include "platform/midi_host/midi_host.h"

namespace {

EM_ASYNC_JS(void, RequestBrowserMidi, (), { await Module.browserMidi.requestAccess(); });
EM_JS(int, CountBrowserPorts, (bool output), { return Module.browserMidi.ports(output).length; });
// Both give a string that the caller frees.
EM_JS(char*, BrowserPortId, (bool output, int index),
      { return allocateUTF8(Module.browserMidi.ports(output)[index].id); });
EM_JS(char*, BrowserPortName, (const char* id),
      { return allocateUTF8(Module.browserMidi.portName(UTF8ToString(id))); });
EM_ASYNC_JS(bool, OpenBrowserPort, (bool output, const char* id, int handle),
            { return await Module.browserMidi.open(output, UTF8ToString(id), handle); });
EM_JS(void, CloseBrowserPort, (int handle), { Module.browserMidi.close(handle); });
EM_JS(bool, SendToBrowserPort, (int handle, const std::uint8_t* bytes, std::size_t length),
      { return Module.browserMidi.send(handle, HEAPU8.slice(bytes, bytes + length)); });

std::string TakeBrowserString(char* text) {
    std::string taken = text != nullptr ? text : "";
    std::free(text);
    return taken;
}

// The handlers of the open inputs by the handle that the browser's side knows them by.
std::map<int, SysExHandler> openInputs;
int lastHandle = 0;

class WebInput : public MidiInputPort {
public:
    explicit WebInput(int handle) : handle_(handle) {}
    ~WebInput() override {
        CloseBrowserPort(handle_);
        openInputs.erase(handle_);
    }
    WebInput(const WebInput&) = delete;
    WebInput& operator=(const WebInput&) = delete;

private:
    int handle_;
};

class WebOutput : public MidiOutputPort {
public:
    explicit WebOutput(int handle) : handle_(handle) {}
    ~WebOutput() override { CloseBrowserPort(handle_); }
    WebOutput(const WebOutput&) = delete;
    WebOutput& operator=(const WebOutput&) = delete;

    // False once the port is gone (a cable pulled): Web MIDI then refuses the send.
    bool Send(std::span<const std::uint8_t> message) override {
        return SendToBrowserPort(handle_, message.data(), message.size());
    }
    // The browser copies the message as it is sent and tells nothing of its progress.
    bool IsSending() override { return false; }

private:
    int handle_;
};

class WebMidiHost : public SystemMidiHost {
public:
    // The port lists are taken inputs first, once per run: the access is asked for here.
    std::vector<std::string> ListInputs() override {
        RequestBrowserMidi();
        return List(false);
    }
    std::vector<std::string> ListOutputs() override { return List(true); }

    std::unique_ptr<MidiInputPort> OpenInput(const std::string& name,
                                             SysExHandler handler) override {
        const int handle = ++lastHandle;
        // In place before the port opens: the browser may deliver the first message at once.
        openInputs.emplace(handle, std::move(handler));
        if (!OpenBrowserPort(false, name.c_str(), handle)) {
            openInputs.erase(handle);
            return nullptr;
        }
        return std::make_unique<WebInput>(handle);
    }

    std::unique_ptr<MidiOutputPort> OpenOutput(const std::string& name) override {
        const int handle = ++lastHandle;
        if (!OpenBrowserPort(true, name.c_str(), handle))
            return nullptr;
        return std::make_unique<WebOutput>(handle);
    }

    // The listed name is the port's id; the owner knows it by its name.
    std::string DisplayName(const std::string& name, std::size_t room) const override {
        std::string shown = TakeBrowserString(BrowserPortName(name.c_str()));
        if (shown.size() <= room)
            return shown;
        // Not in the middle of a character: UTF-8 continuation bytes are 10xxxxxx.
        std::size_t end = room;
        while (end > 0 && (static_cast<unsigned char>(shown[end]) & 0xC0) == 0x80)
            --end;
        return shown.substr(0, end);
    }

    // Web MIDI makes no ports of the page's own.
    std::unique_ptr<MidiInputPort> CreateVirtualInput(const std::string&, SysExHandler) override {
        return nullptr;
    }
    std::unique_ptr<MidiOutputPort> CreateVirtualOutput(const std::string&) override {
        return nullptr;
    }

private:
    std::vector<std::string> List(bool output) {
        std::vector<std::string> names;
        const int count = CountBrowserPorts(output);
        for (int index = 0; index < count; ++index)
            names.push_back(TakeBrowserString(BrowserPortId(output, index)));
        return names;
    }
};

}  // namespace

// Called by browser_midi.js for each message that arrives on an open input.
extern "C" EMSCRIPTEN_KEEPALIVE void DeliverBrowserMidiMessage(int handle,
                                                               const std::uint8_t* bytes,
                                                               std::size_t length) {
    const auto input = openInputs.find(handle);
    if (input != openInputs.end())
        input->second(std::span(bytes, length));
}

std::unique_ptr<SystemMidiHost> CreateSystemMidiHost(const std::string&) {
    return std::make_unique<WebMidiHost>();
}
