// What the stand-in's input and output halves share: the MIDI host, the port lists taken
// once per run, and the handles of the ports that are open. Used by winmm_*_posix.cpp only.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/midi_host/midi_host.h"
#include "platform/winmm/winmm.h"

namespace standin {

// Guards the host, the lists and the sets of live ports.
extern std::mutex hostMutex;

// Opening a port may wait for the MIDI system, whose threads deliver messages through
// functions that take hostMutex: the host is therefore called without holding it.
MidiHost& Host();

enum class Direction { input, output };
// The full name of the listed port at index, or none for an index beyond the list.
std::optional<std::string> ListedName(Direction direction, UINT index);

// Counts an opened port's state as live and gives the handle that stands for it.
template <typename Handle, typename State>
Handle AddLive(std::set<State*>& live, std::unique_ptr<State> state) {
    std::lock_guard lock(hostMutex);
    live.insert(state.get());
    return reinterpret_cast<Handle>(state.release());
}

// The live port state behind a handle, or null for a handle that is not open.
template <typename State, typename Handle>
State* FindLive(const std::set<State*>& live, Handle handle) {
    auto* state = reinterpret_cast<State*>(handle);
    std::lock_guard lock(hostMutex);
    return live.count(state) != 0 ? state : nullptr;
}

// Takes the handle's state out of the live ones: null for a handle that is not open.
template <typename State, typename Handle>
std::unique_ptr<State> TakeLive(std::set<State*>& live, Handle handle) {
    auto* state = reinterpret_cast<State*>(handle);
    std::lock_guard lock(hostMutex);
    return std::unique_ptr<State>(live.erase(state) != 0 ? state : nullptr);
}

// What every call with a header checks first: that the port is open and the header usable.
MMRESULT CheckHeaderCall(bool portOpen, LPMIDIHDR header, UINT headerSize);
MMRESULT PrepareHeader(bool portOpen, LPMIDIHDR header, UINT headerSize);

// Marks done the messages that the MIDI system has taken since the last look, signalling the
// events of the outputs opened with one; only the main thread calls it.
void NoticeFinishedMessages();

}  // namespace standin
