// Relay commands carried out on a channel's command thread, and the SDK
// calls they make.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/agent_settings.h"
#include "channel/camera_channel.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/sdk_double.h"

using namespace relay_test;

namespace {

class RelayCommandsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_double::Reset();
        AgentSettings::instance().ResetForTest();
        channel.reset(new CameraChannel(nullptr, 0, 7));
        sdk_double::ClearJournal();
    }
    void TearDown() override
    {
        channel->StopSdkStream();
        channel.reset();
    }
    bool JournalReaches(size_t lines)
    {
        return Eventually([&] { return sdk_double::Journal().size() >= lines; });
    }

    std::unique_ptr<CameraChannel> channel;
};

TEST_F(RelayCommandsTest, PtzCodesSwapThreeAndFour)
{
    for (int n : {0, 1, 2, 3, 4, 5, 7, -1})
        channel->PtzControl(n);
    EXPECT_EQ((std::vector<std::string>{"PTZ 12288", "PTZ 12289", "PTZ 12290", "PTZ 12292", "PTZ 12291",
                                        "PTZ 12293", "PTZ 12295", "PTZ 12287"}),
              sdk_double::Journal());
}

TEST_F(RelayCommandsTest, DeviceTimeNeedsABlankTwoDashesAndTwoColons)
{
    struct Case {
        std::string text;
        std::string set;  // empty: no SDK call
    } cases[] = {
        {"2015-06-01 12:30:45", "2015.06.01.12.30.45"},
        {"2015-06-01T12:30:45", ""},
        {"2015/06/01 12:30:45", ""},
        {"2015-06-01 12:30", ""},
        {"", ""},
        // Only the first blank, the first two dashes and the first two colons.
        {"2015-06-01 12:30:45 -01:00", "2015.06.01.12.30.45 -01:00"},
        // Every search starts at the beginning of the text.
        {"12:30:45-06-01 x", "12.30.45.06.01.x"},
        // The record keeps a terminating zero: 31 characters fit, 32 do not.
        {"2015-06-01 12:30:45" + std::string(12, 'x'), "2015.06.01.12.30.45" + std::string(12, 'x')},
        {"2015-06-01 12:30:45" + std::string(13, 'x'), ""},
    };
    for (const Case &c : cases) {
        sdk_double::ClearJournal();
        channel->SetDeviceTime(c.text);
        std::vector<std::string> expected;
        if (!c.set.empty())
            expected.push_back("SetConfig 4119 " + c.set);
        EXPECT_EQ(expected, sdk_double::Journal()) << c.text;
    }
}

TEST_F(RelayCommandsTest, QueuedCommandsRunInArrivalOrder)
{
    ReceiveText(*channel, RelayText(9, "\"PTZCommand\":\"3\""));
    ReceiveText(*channel, RelayText(1));  // types the channel does not act on
    ReceiveText(*channel, RelayText(19, "\"PTZCommand\":\"4\""));
    ReceiveText(*channel, RelayText(9));  // no PTZCommand reads as 0
    ReceiveText(*channel, RelayText(2));  // level 4: key frame on the sub stream
    ReceiveText(*channel, RelayText(18, "\"Time\":\"2015-06-01 12:30:45\""));
    ReceiveText(*channel, RelayText(10));  // link down: the answers are lost
    ReceiveText(*channel, RelayText(17));
    ReceiveText(*channel, RelayText(16, "\"ViedoQP\":\"2\""));
    ReceiveText(*channel, RelayText(2));  // level 2: key frame on the main stream
    ReceiveText(*channel, RelayText(3));
    ASSERT_TRUE(Eventually([&] { return channel->PendingCommandCount() == 0; }));
    ASSERT_TRUE(JournalReaches(9));
    EXPECT_EQ((std::vector<std::string>{"PTZ 12292", "PTZ 12288", "MakeKeyFrame 12",
                                        "SetConfig 4119 2015.06.01.12.30.45", "StopStream",
                                        "SetConfig 4100 1,1,400,12,100,0,3", "SetStreamCallBack",
                                        "StartStream channel=1 stream=1 mode=0 mask=7", "MakeKeyFrame 11"}),
              sdk_double::Journal());
    ASSERT_TRUE(Eventually([&] { return !channel->IsForwarding(); }));
}

TEST_F(RelayCommandsTest, OnlyTextPacketsWithATypeAreQueued)
{
    const std::string ptz = RelayText(9, "\"PTZCommand\":\"1\"");
    std::string notText = "1" + ptz;
    CameraChannel::OnRelayPacket(notText.data(), static_cast<int32_t>(notText.size()), channel.get());
    CameraChannel::OnRelayPacket("", 0, channel.get());
    ReceiveText(*channel, "{\"params\":{\"PTZCommand\":\"2\"}}");  // no type
    ReceiveText(*channel, ptz.substr(0, ptz.find("\"params\"")));  // no params: PTZCommand reads as 0
    ReceiveText(*channel, RelayText(9, "\"PTZCommand\":\"5\""));
    ASSERT_TRUE(JournalReaches(2));
    EXPECT_EQ((std::vector<std::string>{"PTZ 12288", "PTZ 12293"}), sdk_double::Journal());
}

TEST_F(RelayCommandsTest, AFloodOfCommandsIsHeardOnlyUpToTheBacklog)
{
    const std::string ptz = RelayText(9, "\"PTZCommand\":\"1\"");
    for (int i = 0; i < 1000; ++i)
        ReceiveText(*channel, ptz);
    EXPECT_LE(channel->PendingCommandCount(), 32u);
    EXPECT_GE(channel->PendingCommandCount(), 30u);
}

TEST_F(RelayCommandsTest, AFloodOfRelayRequestsKeepsOnlyTheLatest)
{
    for (int i = 0; i < 100; ++i) {
        NotifyEvent request(kEventRelayRequest);
        request.fields.Set("sxtId", "id" + std::to_string(i));
        request.fields.Set("transIp", "127.0.0.1");
        request.fields.Set("transPort", "1");  // nothing listens: each pass fails at once
        channel->PostRelayRequest(request);
    }
    EXPECT_LE(channel->PendingRequestCount(), 16u);
    ASSERT_TRUE(Eventually([&] { return channel->GetSxtId() == "id99"; }));
}

}  // namespace
