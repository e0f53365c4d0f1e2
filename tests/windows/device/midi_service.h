// The device process's part of Windows 11's MIDI Service: it holds the device's ports, opened
// once through the test MIDI driver's first personality (which plays the cables, the device,
// the decoys and the instrument), and shares them among the drivers of every program that
// connects over the named pipe.
//
// - An input is opened and started while any client has it started, so that what the
//   device's interface holds while nobody listens is held as on the older stack; each message
//   that comes goes to every client that has it started.
// - The clients' messages to an output join one queue, whole, in the order they come. The
//   device's interface takes a message while at most one other waits for the cable, and a
//   client's send is done when its message is taken. A message that waits 1 s fails with
//   MMSYSERR_ERROR, and every send to that output then fails at once for 2 s.
// - A client that goes (its program ended or was killed) closes what it held. An output
//   nobody holds is closed once what it was sending has gone, or after 1 s.
// - The log names the client behind each message sent to the device.
// - With clockInReplies, a MIDI clock byte comes inside each message the device sends.
// - With portGap, the port list that the clients get holds an empty name, a number without a
//   port, just before the device's input and before its output.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipe_link.h"
#include "test_midi_driver.h"

class MidiService {
public:
    MidiService(TestMidiDriver& driver, bool clockInReplies, bool portGap);
    MidiService(const MidiService&) = delete;
    MidiService& operator=(const MidiService&) = delete;

    // Serves the client on link until its pipe breaks, on the caller's thread.
    void Serve(std::shared_ptr<PipeLink> link);
    // Ends the waits that have lasted too long; called every few milliseconds.
    void Tick();

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        std::string name;
        std::shared_ptr<PipeLink> link;
    };
    static constexpr std::size_t inputBuffers = 4;
    struct Input {
        bool open = false;
        std::map<std::uint32_t, int> opens{};
        std::map<std::uint32_t, bool> started{};
        std::vector<MIDIHDR> headers = std::vector<MIDIHDR>(inputBuffers);
        std::vector<std::vector<char>> buffers =
            std::vector<std::vector<char>>(inputBuffers, std::vector<char>(256));
    };
    struct Message {
        std::uint32_t client;
        std::vector<std::uint8_t> bytes;
        Clock::time_point since;
        std::unique_ptr<MIDIHDR> header{};
    };
    struct Output {
        bool open = false;
        std::map<std::uint32_t, int> opens{};
        std::deque<Message> waiting{};
        std::deque<Message> taken{};
        Clock::time_point failingUntil{};
        Clock::time_point closeBy{};
    };

    void Handle(std::uint32_t client, const Frame& frame);
    void StartInput(std::uint8_t port);
    void StopInput(std::uint8_t port);
    bool Listened(const Input& input) const;
    void CloseOutputWhenDone(std::uint8_t port);
    void Send(std::uint32_t client, std::uint8_t port, std::vector<std::uint8_t> bytes);
    // Hands the waiting messages to the output while its interface has room.
    void HandOn(std::uint8_t port);
    void Answer(std::uint32_t client, std::uint8_t port, MMRESULT result);
    void Leave(std::uint32_t client);
    std::string PortList();
    DWORD Driver(bool input, std::uint8_t port, UINT message, DWORD_PTR parameter1 = 0,
                 DWORD_PTR parameter2 = 0);

    // The test driver's notices, on its thread or on the caller's.
    static void CALLBACK Notice(HMIDI handle, UINT message, DWORD_PTR instance,
                                DWORD_PTR parameter1, DWORD_PTR parameter2);
    void Received(std::uint8_t port, MIDIHDR& header);
    void Played(std::uint8_t port, const MIDIHDR* header);

    TestMidiDriver& driver_;
    const bool clockInReplies_;
    const bool portGap_;
    // Held while calling the driver, whose notices may come back on the same thread.
    std::recursive_mutex mutex_;
    std::map<std::uint32_t, Client> clients_;
    std::uint32_t nextClient_ = 1;
    std::vector<Input> inputs_;
    std::deque<Output> outputs_;
};
