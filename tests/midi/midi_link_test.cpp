#include <gtest/gtest.h>

#include "case_name.h"
#include "fake_midi_host.h"
#include "midi_fixture.h"

namespace {

using namespace std::chrono_literals;

class MidiLinkTest : public MidiTest {
protected:
    FakeMidiHost host{{"device in"}, {"device out"}};

    void OpenBoth() {
        ASSERT_EQ(OpenMidiInput(0), 0);
        ASSERT_EQ(OpenMidiOutput(0), 0);
    }
};

struct FramingCase {
    std::uint16_t length;
    std::size_t bytesOnTheWire;
};

class Framing : public MidiLinkTest, public testing::WithParamInterface<FramingCase> {};

TEST_P(Framing, FramesDataBytesBetweenF0AndF7) {
    OpenBoth();
    Message data(GetParam().length);
    for (std::size_t index = 0; index < data.size(); ++index) {
        data[index] = static_cast<std::uint8_t>(0x80 + index * 3);  // high bit set, unchanged
    }
    EXPECT_EQ(SendSysEx(data.data(), GetParam().length), 0);
    if (GetParam().bytesOnTheWire == 0) {
        EXPECT_TRUE(host.Sent().empty());
        return;
    }
    ASSERT_EQ(host.Sent().size(), 1u);
    Message expected = {0xF0};
    expected.insert(expected.end(), data.begin(), data.end());
    expected.push_back(0xF7);
    EXPECT_EQ(host.Sent()[0].bytes, expected);
    EXPECT_EQ(host.Sent()[0].bytes.size(), GetParam().bytesOnTheWire);
}

INSTANTIATE_TEST_SUITE_P(Lengths, Framing,
                         testing::Values(FramingCase{0, 2}, FramingCase{7, 9}, FramingCase{46, 48},
                                         FramingCase{47, 0}));

TEST_F(MidiLinkTest, NamesComeFromThePortListCutTo31Characters) {
    FakeMidiHost named({"an input port whose name is far too long"}, {"out"});
    OpenBoth();
    EXPECT_STREQ(midiLink.inputName, "an input port whose name is far");
    EXPECT_STREQ(midiLink.outputName, "out");
    ResetMidiLink();  // while the ports' host still exists
}

TEST_F(MidiLinkTest, ClosingTwiceClosesOnce) {
    OpenBoth();
    EXPECT_EQ(CloseMidiInput(), 1);
    EXPECT_EQ(CloseMidiInput(), 0);
    EXPECT_EQ(CloseMidiOutput(), 1);
    EXPECT_EQ(CloseMidiOutput(), 0);
    EXPECT_EQ(host.PortEvents(),
              (std::vector<std::string>{"open in device in", "open out device out",
                                        "close in device in", "close out device out"}));
}

TEST_F(MidiLinkTest, FailedOpenLeavesThePortClosed) {
    host.failingPorts = {"device in", "device out"};
    EXPECT_NE(OpenMidiInput(0), 0);
    EXPECT_NE(OpenMidiOutput(0), 0);
    EXPECT_EQ(OpenMidiInput(1), MMSYSERR_BADDEVICEID);
    EXPECT_EQ(CloseMidiInput(), 0);
    EXPECT_EQ(CloseMidiOutput(), 0);
    EXPECT_TRUE(host.PortEvents().empty());
}

TEST_F(MidiLinkTest, EachMessageFillsTheBufferWhichComesBackForTheNext) {
    OpenBoth();
    host.Schedule("device in", {0xF0, 0x1A, 0xF7}, 1);
    host.Schedule("device in", {0xF0, 0x20, 0xF8, 0x01, 0xF7}, 2);  // a clock byte inside
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 3);
    EXPECT_EQ(DeviceReply(), 0x1A);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 4);
    EXPECT_EQ(Message(midiLink.rxBuffer, midiLink.rxBuffer + 4), (Message{0xF0, 0x20, 0x01, 0xF7}));
}

TEST_F(MidiLinkTest, MessagesThatAreNoSysExAreIgnoredAndLongOnesCut) {
    OpenBoth();
    host.Schedule("device in", {0x90, 0x40, 0x7F}, 1);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 0);
    Message longMessage(250, 0x11);
    longMessage.front() = 0xF0;
    longMessage.back() = 0xF7;
    host.Schedule("device in", longMessage, 1);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 200);
}

TEST_F(MidiLinkTest, MessageAfterInputOpenClearedIsCountedButTheBufferNotQueued) {
    OpenBoth();
    midiLink.inputOpen = 0;
    host.Schedule("device in", ReplyMessage(0x1A), 1);
    host.Schedule("device in", {0xF0, 0x20, 0x00, 0xF7}, 2);
    Sleep(2);
    // The second message found no buffer and was lost.
    EXPECT_EQ(midiLink.rxCount, 3);
    EXPECT_EQ(DeviceReply(), 0x1A);
    midiLink.inputOpen = 1;
}

TEST_F(MidiLinkTest, NotificationsOtherThanLongDataChangeNothing) {
    OpenBoth();
    midiLink.rxCount = 5;
    MIDIHDR header{};
    header.dwBytesRecorded = 9;
    for (UINT notification : {MIM_OPEN, MIM_CLOSE, MIM_DATA, MIM_ERROR, MIM_LONGERROR}) {
        MidiInputCallback(midiLink.inputHandle, notification, 0,
                          reinterpret_cast<DWORD_PTR>(&header), 0);
    }
    EXPECT_EQ(midiLink.rxCount, 5);
    // The buffer is still queued once, not twice: the next message finds it.
    host.Schedule("device in", ReplyMessage(0x1A), 1);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 3);
}

// Two messages recorded before the main thread looks (one cycle of the MIDI system): both codes
// are taken, in order, once each; a one-byte message brings none.
TEST_F(MidiLinkTest, EachReplyCodeIsTakenOnceInOrder) {
    OpenBoth();
    host.Schedule("device in", ReplyMessage(0x1A), 1);
    host.Schedule("device in", ReplyMessage(0x21), 1);
    host.Schedule("device in", {0xF0}, 1);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 1);
    EXPECT_EQ(TakeDeviceReply(), 0x1A);
    EXPECT_EQ(TakeDeviceReply(), 0x21);
    EXPECT_EQ(TakeDeviceReply(), std::nullopt);
    // Replies nobody takes: the earliest are kept.
    for (std::uint8_t code = 0; code < 20; ++code)
        host.Schedule("device in", ReplyMessage(code), 1);
    Sleep(1);
    for (std::uint8_t code = 0; code < 16; ++code)
        EXPECT_EQ(TakeDeviceReply(), code);
    EXPECT_EQ(TakeDeviceReply(), std::nullopt);
}

TEST_F(MidiLinkTest, RefusedLongMessageReturnsItsCodeAndTheNextSendGoesOut) {
    OpenBoth();
    host.refusedSends = {1};
    const std::uint8_t data[] = {0x01, 0x02};
    EXPECT_EQ(SendSysEx(data, 2), MMSYSERR_ERROR);
    EXPECT_NE(midiLink.outputHeader->dwFlags & MHDR_PREPARED, 0u);
    EXPECT_EQ(SendSysEx(data, 2), 0);
    ASSERT_EQ(host.Sent().size(), 1u);
    EXPECT_EQ(host.Sent()[0].bytes, (Message{0xF0, 0x01, 0x02, 0xF7}));
}

struct SendWaitCase {
    const char* name;
    std::chrono::microseconds sendingTime;
    std::uint16_t result;
    std::chrono::microseconds returnedAt;
};

class MidiLinkSendWait : public MidiLinkTest, public testing::WithParamInterface<SendWaitCase> {};

// The message's bytes live on the sender's stack: the send returns once the MIDI system is
// done with them, or, giving up, takes the message back from the MIDI system first; either
// way the output then closes.
TEST_P(MidiLinkSendWait, SendReturnsOnceTheMessageIsDoneOrTakenBack) {
    OpenBoth();
    host.sendingTime = GetParam().sendingTime;
    const std::uint8_t data[] = {0x01};
    EXPECT_EQ(SendSysEx(data, 1), GetParam().result);
    EXPECT_EQ(host.Time(), GetParam().returnedAt);
    EXPECT_EQ(midiLink.outputHeader->dwFlags & (MHDR_INQUEUE | MHDR_PREPARED), 0u);
    EXPECT_EQ(CloseMidiOutput(), 1);
    EXPECT_EQ(host.OpenPorts(), (std::set<std::string>{"in device in"}));
}

INSTANTIATE_TEST_SUITE_P(
    SendingTimes, MidiLinkSendWait,
    testing::Values(SendWaitCase{"TakenAtOnce", 0us, 0, 0us},
                    SendWaitCase{"StillPlaying", 250ms, 0, 250ms},
                    // The output tells of the end: no poll step is added to the message.
                    SendWaitCase{"EndingBetweenPolls", 2400us, 0, 2400us},
                    SendWaitCase{"Stalled", 60s, MIDIERR_STILLPLAYING, 10s}),
    NameCase);

// An output opened with CALLBACK_EVENT signals its event on MOM_OPEN, MOM_DONE and MOM_CLOSE,
// and a wait on the event ends at the message's end.
TEST_F(MidiLinkTest, OutputEventIsSignalledOnOpenEachMessageDoneAndClose) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HMIDIOUT output = nullptr;
    EXPECT_EQ(midiOutOpen(&output, 0, 0, 0, CALLBACK_EVENT), MMSYSERR_INVALPARAM);
    ASSERT_EQ(midiOutOpen(&output, 0, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // An auto-reset event is cleared by the wait that takes it.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

    host.sendingTime = 3500us;
    char bytes[] = {static_cast<char>(0xF0), static_cast<char>(0xF7)};
    MIDIHDR header{};
    header.lpData = bytes;
    header.dwBufferLength = sizeof bytes;
    ASSERT_EQ(midiOutPrepareHeader(output, &header, sizeof header), 0u);
    ASSERT_EQ(midiOutLongMsg(output, &header, sizeof header), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 1), WAIT_TIMEOUT);
    EXPECT_EQ(host.Time(), 1ms);
    EXPECT_EQ(WaitForSingleObject(event, 10), WAIT_OBJECT_0);
    EXPECT_EQ(host.Time(), 3500us);
    EXPECT_EQ(header.dwFlags & (MHDR_INQUEUE | MHDR_DONE), MHDR_DONE);
    EXPECT_EQ(midiOutUnprepareHeader(output, &header, sizeof header), 0u);

    EXPECT_EQ(midiOutClose(output), 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(CloseHandle(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(SetEvent(event), FALSE);
}

TEST_F(MidiLinkTest, DamagedMessageIsNoReplyAndTheInputStillHearsTheNext) {
    OpenBoth();
    host.Schedule("device in", {0xF0, 0x1A, 0x31, 0x80, 0x40, 0x00}, 1);  // a note off breaks in
    host.Schedule("device in", {0xF0, 0x1A, 0xF0, 0x1A, 0xF7}, 2);        // a new one begins
    Sleep(2);
    EXPECT_EQ(midiLink.rxCount, 0);
    host.Schedule("device in", ReplyMessage(0x20), 1);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 3);
    EXPECT_EQ(DeviceReply(), 0x20);
}

// Windows keeps a port open while it holds a queued buffer, and the next port could not
// queue the same buffer: closing must really close, and a message for the old port must not
// land in the buffer.
TEST_F(MidiLinkTest, ClosedInputIsClosedAndTheNextInputGetsTheBuffer) {
    FakeMidiHost two({"old in", "new in"}, {"out"});
    ASSERT_EQ(OpenMidiInput(0), 0);
    EXPECT_EQ(CloseMidiInput(), 1);
    EXPECT_EQ(midiLink.inputHeader.load()->dwFlags & (MHDR_INQUEUE | MHDR_PREPARED), 0u);
    ASSERT_EQ(OpenMidiInput(1), 0);
    EXPECT_EQ(two.OpenPorts(), (std::set<std::string>{"in new in"}));
    two.Schedule("old in", ReplyMessage(0x39), 1);
    two.Schedule("new in", ReplyMessage(0x1A), 2);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 0);
    Sleep(1);
    EXPECT_EQ(midiLink.rxCount, 3);
    EXPECT_EQ(DeviceReply(), 0x1A);
    ResetMidiLink();
}

// What the program meets on Windows, the stand-in does too.
TEST_F(MidiLinkTest, StandInKeepsWindowsRefusals) {
    OpenBoth();
    MIDIHDR& input = *midiLink.inputHeader.load();
    EXPECT_EQ(midiInAddBuffer(midiLink.inputHandle, &input, sizeof input), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiInUnprepareHeader(midiLink.inputHandle, &input, sizeof input),
              MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiInClose(midiLink.inputHandle), MIDIERR_STILLPLAYING);

    // The reset hands the buffer back through the callback, empty; with inputOpen cleared the
    // callback does not queue it again, and the close goes through.
    midiLink.rxCount = 7;
    midiLink.inputOpen = 0;
    EXPECT_EQ(midiInReset(midiLink.inputHandle), 0u);
    EXPECT_EQ(input.dwFlags & (MHDR_INQUEUE | MHDR_DONE), MHDR_DONE);
    EXPECT_EQ(midiLink.rxCount, 0);
    EXPECT_EQ(midiInClose(midiLink.inputHandle), 0u);

    host.sendingTime = 5ms;
    MIDIHDR output{};
    char bytes[] = {static_cast<char>(0xF0), static_cast<char>(0xF7)};
    output.lpData = bytes;
    output.dwBufferLength = sizeof bytes;
    EXPECT_EQ(midiOutLongMsg(midiLink.outputHandle, &output, sizeof output), MIDIERR_UNPREPARED);
    ASSERT_EQ(midiOutPrepareHeader(midiLink.outputHandle, &output, sizeof output), 0u);
    ASSERT_EQ(midiOutLongMsg(midiLink.outputHandle, &output, sizeof output), 0u);
    EXPECT_EQ(midiOutLongMsg(midiLink.outputHandle, &output, sizeof output), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutUnprepareHeader(midiLink.outputHandle, &output, sizeof output),
              MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutClose(midiLink.outputHandle), MIDIERR_STILLPLAYING);
    EXPECT_EQ(midiOutReset(midiLink.outputHandle), 0u);
    EXPECT_EQ(output.dwFlags & (MHDR_INQUEUE | MHDR_DONE), MHDR_DONE);
    EXPECT_EQ(midiOutUnprepareHeader(midiLink.outputHandle, &output, sizeof output), 0u);
    EXPECT_EQ(midiOutClose(midiLink.outputHandle), 0u);
    EXPECT_TRUE(host.OpenPorts().empty());
    midiLink.outputOpen = 0;
}

}  // namespace
