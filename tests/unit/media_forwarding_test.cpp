// Quality levels, the camera stream and the forwarding gate of a channel
// whose relay link is down (frames that pass the gate still take a number).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "records/agent_settings.h"
#include "channel/camera_channel.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/sdk_double.h"

using namespace relay_test;

namespace {

class MediaForwardingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_double::Reset();
        AgentSettings::instance().ResetForTest();
        channel.reset(new CameraChannel(nullptr, 0, 7));
    }
    void TearDown() override
    {
        channel->StopSdkStream();
        channel.reset();
    }
    void StartForwarding()
    {
        ReceiveText(*channel, RelayText(2));
        ASSERT_TRUE(Eventually([&] { return channel->IsForwarding(); }));
        DeliverStreamInfo(*channel, 640, 480);
    }
    // Hands the SDK block to the stream callback in a buffer of exactly its size.
    void Deliver(unsigned int dataType, const std::vector<unsigned char> &block)
    {
        std::unique_ptr<unsigned char[]> exact(new unsigned char[block.size()]);
        std::copy(block.begin(), block.end(), exact.get());
        EXPECT_EQ(0, CameraChannel::OnStreamData(7, dataType, exact.get(),
                                                 static_cast<unsigned int>(block.size()), channel.get()));
    }

    std::unique_ptr<CameraChannel> channel;
    std::vector<unsigned char> payload = std::vector<unsigned char>(100, 0x42);
};

TEST_F(MediaForwardingTest, EachLevelConfiguresTheEncoderAndRestartsItsStream)
{
    // A new channel runs the sub stream at level 4, with itself as the
    // stream callback's user data.
    EXPECT_EQ((std::vector<std::string>{"StopStream", "SetConfig 4100 1,0,256,10,100,0,2", "SetStreamCallBack",
                                        "StartStream channel=1 stream=0 mode=0 mask=7"}),
              sdk_double::Journal());
    EXPECT_EQ(channel.get(), sdk_double::StreamUserData());
    EXPECT_EQ(&CameraChannel::OnStreamData, sdk_double::StreamCallback());
    EXPECT_EQ(4, AgentSettings::instance().m_ViedoQP.load());

    struct Case {
        const char *level;
        const char *settings;
        int stream;
    } cases[] = {
        {"1", "1,1,800,20,50,0,1", 1}, {"2", "1,1,400,12,100,0,3", 1}, {"3", "1,1,240,12,100,1,3", 1},
        {"4", "1,0,256,10,100,0,2", 0}, {"5", "1,0,80,8,100,1,6", 0},
    };
    for (const Case &c : cases) {
        sdk_double::ClearJournal();
        EXPECT_EQ(0, channel->ApplyVideoQuality(c.level));  // link down: no acknowledgement
        EXPECT_EQ((std::vector<std::string>{"StopStream", std::string("SetConfig 4100 ") + c.settings,
                                            "SetStreamCallBack",
                                            "StartStream channel=1 stream=" + std::to_string(c.stream) +
                                                " mode=0 mask=7"}),
                  sdk_double::Journal())
            << c.level;
        EXPECT_EQ(c.level[0] - '0', AgentSettings::instance().m_ViedoQP.load());
    }
    for (const char *unknown : {"6", "", "01", "4 "}) {
        sdk_double::ClearJournal();
        channel->ApplyVideoQuality(unknown);
        EXPECT_EQ(std::vector<std::string>{"StopStream"}, sdk_double::Journal()) << unknown;
        EXPECT_EQ(5, AgentSettings::instance().m_ViedoQP.load());
    }
}

TEST_F(MediaForwardingTest, GateNeedsPictureSizeForwardingAndAKeyFrame)
{
    DeliverStreamInfo(*channel, 640, 480);
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(0u, channel->FrameSeq());  // forwarding off

    StartForwarding();
    DeliverFrame(*channel, payload, false);
    EXPECT_EQ(0u, channel->FrameSeq());  // the first frame must be a key frame
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(1u, channel->FrameSeq());
    // Not queued (link down), so the next frame must be a key frame again.
    DeliverFrame(*channel, payload, false);
    EXPECT_EQ(1u, channel->FrameSeq());
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(2u, channel->FrameSeq());

    // A quality change restarts the stream: nothing passes until its
    // picture size is known, then numbering starts again.
    channel->ApplyVideoQuality("2");
    EXPECT_EQ(0u, channel->FrameSeq());
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(0u, channel->FrameSeq());
    DeliverStreamInfo(*channel, 1280, 720);
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(1u, channel->FrameSeq());

    ReceiveText(*channel, RelayText(3));
    ASSERT_TRUE(Eventually([&] { return !channel->IsForwarding(); }));
    DeliverFrame(*channel, payload, true);
    EXPECT_EQ(1u, channel->FrameSeq());
}

// Also the one test here that drops blocks for their length: the console
// line says so only the first time in a process.
TEST_F(MediaForwardingTest, MalformedStreamBlocksAreIgnored)
{
    StartForwarding();
    testing::internal::CaptureStdout();
    // Header claims one byte more than was delivered.
    std::vector<unsigned char> shortFrame = SdkFrame(payload, true, 0, 101);
    Deliver(0, shortFrame);
    // Too short to hold a header at all.
    Deliver(0, std::vector<unsigned char>(shortFrame.begin(), shortFrame.begin() + 15));
    std::vector<unsigned char> wrongMagic = SdkFrame(payload, true);
    wrongMagic[3] = 'G';
    Deliver(0, wrongMagic);
    Deliver(2, SdkFrame(payload, true));  // unknown data type
    std::vector<unsigned char> frame = SdkFrame(payload, true);
    EXPECT_EQ(0, CameraChannel::OnStreamData(7, 0, frame.data(), static_cast<unsigned int>(frame.size()), nullptr));
    EXPECT_EQ(0u, channel->FrameSeq());

    Deliver(0, frame);  // exactly header plus payload
    EXPECT_EQ(1u, channel->FrameSeq());

    // Stream information too short for the height: the size stays unknown.
    channel->ApplyVideoQuality("4");
    std::vector<unsigned char> info(12, 0);
    info[4] = 0x80;
    info[8] = 0x60;
    Deliver(1, std::vector<unsigned char>(info.begin(), info.begin() + 11));
    Deliver(1, std::vector<unsigned char>(info.begin(), info.begin() + 4));
    Deliver(0, frame);
    EXPECT_EQ(0u, channel->FrameSeq());
    Deliver(1, info);
    Deliver(0, frame);
    EXPECT_EQ(1u, channel->FrameSeq());

    // One line for each kind of data, at its first drop for length only.
    EXPECT_EQ("stream data dropped for its length: data type 0, length 116, its header implies 117 (said once)\n"
              "stream data dropped for its length: data type 1, length 11, its header implies 12 (said once)\n",
              testing::internal::GetCapturedStdout());
}

}  // namespace
