// Ports in use on the RtMidi host: refused to another updater, as Windows refuses them, and left
// free by other programs' connections.
#include "midi_host_fixture.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include "platform/midi_host/midi_system_posix.h"

namespace {

// Another updater, here a second host in the same process, finds the device's ports and the
// first updater's own ports in use, as Windows refuses a port that another program has open.
TEST_F(MidiHostOnJack, PortsInUseByAnotherUpdaterAreRefusedUntilClosed) {
    Inbox inbox;
    auto input = program_->OpenInput("sim:out", inbox.Handler());
    auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);

    const auto rival = CreateSystemMidiHost("rival");
    const std::string first = ConnectingClient("update");
    EXPECT_EQ(rival->ListInputs(), (std::vector<std::string>{"sim:out", first + "-01:output"}));
    EXPECT_EQ(rival->ListOutputs(), (std::vector<std::string>{"sim-01:in", first + ":input"}));
    Inbox rivalInbox;
    EXPECT_EQ(rival->OpenInput("sim:out", rivalInbox.Handler()), nullptr);
    EXPECT_EQ(rival->OpenOutput("sim-01:in"), nullptr);
    EXPECT_EQ(rival->OpenInput(first + "-01:output", rivalInbox.Handler()), nullptr);
    EXPECT_EQ(rival->OpenOutput(first + ":input"), nullptr);
    ExpectBothWays(*output, inbox);

    input.reset();
    output.reset();
    const auto rivalInput = rival->OpenInput("sim:out", rivalInbox.Handler());
    const auto rivalOutput = rival->OpenOutput("sim-01:in");
    ASSERT_TRUE(rivalInput && rivalOutput);
    EXPECT_EQ(program_->OpenInput("sim:out", inbox.Handler()), nullptr);
    EXPECT_EQ(program_->OpenOutput("sim-01:in"), nullptr);
}

// On the ALSA sequencer a USB interface is one port for both directions. One updater's input
// and output share the port's lock; another updater is refused it while either is open.
TEST_F(MidiHostOnJack, PortThatGoesBothWaysIsOneUpdatersInBothDirections) {
    const auto updater = MidiSystem::Choose("update");
    const auto rival = MidiSystem::Choose("rival");
    const std::string port = "Interface:Interface MIDI 1 24:0";
    auto input = updater->LockPort(port);
    auto output = updater->LockPort(port);
    ASSERT_TRUE(input && output);
    EXPECT_EQ(rival->LockPort(port), nullptr);
    input.reset();
    EXPECT_EQ(rival->LockPort(port), nullptr);
    output.reset();
    const auto rivals = rival->LockPort(port);
    EXPECT_NE(rivals, nullptr);
    EXPECT_EQ(updater->LockPort(port), nullptr);
}

// A JACK MIDI output carries whatever its buffer holds at each cycle: a bridge with nothing to
// send clears it.
int SendNothing(jack_nframes_t frames, void* port) {
    jack_midi_clear_buffer(jack_port_get_buffer(static_cast<jack_port_t*>(port), frames));
    return 0;
}

// A MIDI monitor and a bridge are plain JACK clients connected to the device's ports: they
// make no port unavailable.
TEST_F(MidiHostOnJack, ConnectionsOfOtherProgramsLeaveThePortsFree) {
    jack_client_t* monitor = jack_client_open("monitor", JackNoStartServer, nullptr);
    ASSERT_NE(monitor, nullptr);
    jack_port_t* listen =
        jack_port_register(monitor, "listen", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_port_t* feed =
        jack_port_register(monitor, "feed", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    ASSERT_TRUE(listen && feed);
    jack_set_process_callback(monitor, &SendNothing, feed);
    ASSERT_EQ(jack_activate(monitor), 0);
    EXPECT_EQ(jack_connect(monitor, "sim:out", jack_port_name(listen)), 0);
    EXPECT_EQ(jack_connect(monitor, jack_port_name(feed), "sim-01:in"), 0);

    Inbox inbox;
    const auto input = program_->OpenInput("sim:out", inbox.Handler());
    const auto output = program_->OpenOutput("sim-01:in");
    ASSERT_TRUE(input && output);
    ExpectBothWays(*output, inbox);
    jack_client_close(monitor);
}

}  // namespace
