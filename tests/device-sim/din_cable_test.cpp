// The pace of a DIN MIDI cable, on its own and on both sides of the device.
#include "device_session_fixture.h"

#include "image_writer.h"
#include "updater_messages.h"

namespace {

using namespace std::chrono_literals;

TEST(DinCable, QueuesMessagesAtThreeHundredTwentyMicrosecondsAByte) {
    DinCable cable(true);
    EXPECT_EQ(cable.Cross(0us, 48), 15360us);
    EXPECT_EQ(cable.Cross(0us, 3), 16320us);
    EXPECT_EQ(cable.Cross(1s, 3), 1000960us);
    DinCable unpaced(false);
    EXPECT_EQ(unpaced.Cross(1s, 48), 1s);
}

TEST_F(DeviceSessionTest, DinPacingDelaysWhatComesInAndWhatGoesOut) {
    DeviceBehaviour behaviour;
    behaviour.dinCable = true;
    behaviour.script.Add(Late(2, 1, 100ms));
    Start(behaviour);
    // Nine bytes in, three out; the second handshake waits for the first on the cable.
    Send({handshake, handshake}, 0ms);
    // A 24-byte record: 48 digits in two messages of 48 and 4 bytes.
    const Bytes record = MakeRecord(MakePayload(20, 5));
    Send(UpdaterMessages(record), 10ms);
    Send(UpdaterMessages(record), 1s);
    RunUntil(2s);
    EXPECT_EQ(replies_, (std::vector<SentReply>{{3840us, 0x39},
                                                {6720us, 0x39},
                                                {10ms + 52 * 320us + 3 * 320us, 0x1A},
                                                {1s + 52 * 320us + 100ms + 3 * 320us, 0x1A}}));
}

}  // namespace
