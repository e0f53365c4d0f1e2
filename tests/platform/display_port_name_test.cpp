#include <gtest/gtest.h>

#include <string>

#include "case_name.h"
#include "platform/midi_host/midi_system_posix.h"

namespace {

struct DisplayCase {
    const char* name;
    RtMidi::Api api;
    std::string fullName;
    std::string shown;
};

class DisplayPortNameTest : public testing::TestWithParam<DisplayCase> {};

TEST_P(DisplayPortNameTest, ShowsWhatTheUserKnowsWithinThirtyOneCharacters) {
    const std::string shown = DisplayPortName(GetParam().api, GetParam().fullName, 31);
    EXPECT_EQ(shown, GetParam().shown);
    EXPECT_LE(shown.size(), 31u);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayPortNameTest,
    testing::Values(DisplayCase{"AlsaFits", RtMidi::LINUX_ALSA, "UM-ONE:UM-ONE MIDI 1 24:0",
                                "UM-ONE:UM-ONE MIDI 1 24:0"},
                    DisplayCase{"AlsaKernelClient", RtMidi::LINUX_ALSA,
                                "Virtual Raw MIDI 1-0:VirMIDI 1-0 20:0", "VirMIDI 1-0 20:0"},
                    DisplayCase{"AlsaThrough", RtMidi::LINUX_ALSA,
                                "Midi Through:Midi Through Port-0 14:0",
                                "Midi Through Port-0 14:0"},
                    DisplayCase{"AlsaPaddedPort", RtMidi::LINUX_ALSA,
                                "USB MIDI Interface:USB MIDI Interface MIDI 1    28:0",
                                "USB MIDI Interface MIDI 1 28:0"},
                    // Still too long without the client: cut, keeping its start.
                    DisplayCase{"AlsaLongPort", RtMidi::LINUX_ALSA,
                                "Synth:A port name that runs far beyond the room 130:0",
                                "A port name that runs far beyon"},
                    DisplayCase{"AlsaWithoutAddress", RtMidi::LINUX_ALSA,
                                "A client name longer than the room",
                                "A client name longer than the r"},
                    // JACK's names are "client:port" and are cut as they come.
                    DisplayCase{"Jack", RtMidi::UNIX_JACK, "a-very-long-jack-client-name:capture_1",
                                "a-very-long-jack-client-name:ca"}),
    NameCase);

}  // namespace
