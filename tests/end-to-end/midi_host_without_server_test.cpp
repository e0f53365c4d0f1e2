// The RtMidi host when the JACK server goes or was never there: quiet failures, no ports.
#include "midi_host_fixture.h"

#include <fcntl.h>

#include <cstdlib>
#include <thread>

#include "program_runner.h"

namespace {

using namespace std::chrono_literals;

// Sends what this process writes to standard error into a file while it lives.
class StandardErrorCapture {
public:
    StandardErrorCapture()
        : saved_(dup(STDERR_FILENO)),
          file_(open(folder_.File("errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {
        dup2(file_, STDERR_FILENO);
    }
    ~StandardErrorCapture() { Stop(); }

    // Everything written since the start.
    std::string Stop() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            close(file_);
            saved_ = -1;
        }
        return ReadFile(folder_.File("errors"));
    }

private:
    ScratchFolder folder_;
    int saved_;
    int file_;
};

TEST(MidiHostServerGone, FailsQuietlyAndWithoutHanging) {
    auto server = std::make_unique<PrivateJackServer>();
    ASSERT_TRUE(server->IsRunning()) << server->Log();
    server->UseInThisProcess();
    const auto device = CreateSystemMidiHost("sim");
    auto deviceInput = device->CreateVirtualInput("in", [](std::span<const std::uint8_t>) {});
    const auto program = CreateSystemMidiHost("update");
    auto output = program->OpenOutput("sim:in");
    ASSERT_TRUE(deviceInput && output);

    StandardErrorCapture errors;
    server.reset();
    // The host learns of the end from the server's closed socket, a moment later.
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(output->Send(SysEx(9, 1)));
    EXPECT_TRUE(program->ListInputs().empty());
    EXPECT_EQ(program->OpenOutput("sim:in"), nullptr);
    output.reset();
    deviceInput.reset();
    EXPECT_EQ(errors.Stop(), "");
}

// Without the JACK server that the environment names, the host has no ports, and nothing
// reaches standard error on the way.
TEST(MidiHostWithoutSystem, HasNoPortsAndStaysQuiet) {
    setenv("UPDATE_MIDI_SYSTEM", "jack", 1);
    setenv("JACK_DEFAULT_SERVER", ("update-test-none-" + std::to_string(getpid())).c_str(), 1);
    StandardErrorCapture errors;
    Inbox inbox;
    const auto host = CreateSystemMidiHost("update");
    EXPECT_TRUE(host->ListInputs().empty());
    EXPECT_TRUE(host->ListOutputs().empty());
    EXPECT_EQ(host->OpenInput("sim:out", inbox.Handler()), nullptr);
    EXPECT_EQ(host->OpenOutput("sim:in"), nullptr);
    EXPECT_EQ(host->CreateVirtualOutput("out"), nullptr);
    EXPECT_EQ(errors.Stop(), "");
}

}  // namespace
