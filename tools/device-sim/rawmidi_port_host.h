// The simulated device on an ALSA raw MIDI node ("hw:1,0"), as it sits behind a USB MIDI
// interface: the node's one input and one output stand in for the virtual ports. On a
// VirMIDI node the sequencer port of the same number ("VirMIDI 1-0") carries what the node
// sends and receives while the node is open, so the updater meets the device through a
// kernel client.
#pragma once

#include <memory>
#include <string>

#include "platform/midi_host/midi_host.h"

// Opens both directions of the node; null, with the reason in error, when ALSA refuses it.
// The host makes one input and one output, whatever their names.
std::unique_ptr<VirtualPortHost> OpenRawMidiPortHost(const std::string& device, std::string& error);
