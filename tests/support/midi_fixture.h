// Starts and ends every protocol test with the MIDI link closed and nothing pending.
#pragma once

#include <gtest/gtest.h>

#include "fake_midi_host.h"
#include "midi/midi.h"

inline void ResetMidiLink() {
    CloseMidiInput();
    CloseMidiOutput();
    midiLink.rxCount = 0;
    DropDeviceReplies();
}

// The bytes of a reply message, as a device sends it: F0, the code, F7.
inline Message ReplyMessage(std::uint8_t code) {
    return {0xF0, code, 0xF7};
}

class MidiTest : public testing::Test {
protected:
    void SetUp() override { ResetMidiLink(); }
    void TearDown() override { ResetMidiLink(); }
};
