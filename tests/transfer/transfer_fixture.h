// A scripted device for the transfer tests, on the fake MIDI host: it rebuilds each record
// from the digits, as the real device does, and answers each whole record from a script.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "case_name.h"
#include "console_text.h"
#include "fake_midi_host.h"
#include "image_writer.h"
#include "midi_fixture.h"
#include "record_assembly.h"
#include "transfer/transfer.h"

// What the device does with one whole record: a reply after delay milliseconds, or nothing
// when bytes is empty.
struct Answer {
    Message bytes;
    std::uint64_t delay = 1;
    // The same reply once more, this long after the first: a thru loop or a merger.
    std::optional<std::uint64_t> again = std::nullopt;
};

inline Answer Reply(std::uint8_t code, std::uint64_t delay = 1) {
    return {ReplyMessage(code), delay};
}
inline Answer Silence() {
    return {};
}

class TransferTest : public MidiTest {
protected:
    FakeMidiHost host{{"device in"}, {"device out"}};
    // One answer per whole record received, repeats included; once they run out, every
    // record is accepted.
    std::deque<Answer> answers;
    // Every record as the device rebuilt it, repeats included.
    std::vector<Bytes> records;
    // The data bytes of every message received, as text.
    std::vector<std::string> digits;
    std::string console;

    void SetUp() override {
        MidiTest::SetUp();
        host.SetDevice([this](const SentMessage& message) { return Receive(message.bytes); });
        ASSERT_EQ(OpenMidiInput(0), 0);
        ASSERT_EQ(OpenMidiOutput(0), 0);
    }

    TransferEnding Transfer(const Bytes& image) {
        testing::internal::CaptureStdout();
        const TransferEnding ending =
            TransferImage(image.data(), static_cast<std::uint16_t>(image.size()));
        console = testing::internal::GetCapturedStdout();
        return ending;
    }

private:
    // The simulator's own assembly, whose tests show that it rebuilds records as the device
    // must.
    RecordAssembly assembly_;

    std::vector<ScriptedReply> Receive(const Message& message) {
        const std::size_t length = message.size();
        if (length < 4 || length > 48 || length % 2 != 0 || message.front() != 0xF0 ||
            message.back() != 0xF7) {
            ADD_FAILURE() << "not a transfer message, " << length << " bytes";
            return {};
        }
        const std::span<const std::uint8_t> data(message.data() + 1, length - 2);
        digits.emplace_back(data.begin(), data.end());
        switch (assembly_.Add(data)) {
            case AssemblyStatus::NotHexadecimal:
                ADD_FAILURE() << "not upper-case digits: " << digits.back();
                return {};
            case AssemblyStatus::Incomplete:
                if (data.size() < 46)
                    ADD_FAILURE() << "a short message before the record's end";
                return {};
            case AssemblyStatus::Complete:
                break;
        }
        if (assembly_.IgnoredDigits() != 0)
            ADD_FAILURE() << "a message runs past its record";
        records.push_back(assembly_.TakeRecord());
        Answer answer = Reply(0x1A);
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        if (answer.bytes.empty())
            return {};
        if (answer.again)
            return {{"device in", answer.bytes, answer.delay},
                    {"device in", answer.bytes, answer.delay + *answer.again}};
        return {{"device in", answer.bytes, answer.delay}};
    }
};
