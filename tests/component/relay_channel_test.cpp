// The camera channel against an in-test relay server: link life cycle,
// replies to relay commands and video packets on the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "records/agent_settings.h"
#include "records/agent_status.h"
#include "channel/camera_channel.h"
#include "runtime/clock.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/loopback_server.h"
#include "tests/support/sdk_double.h"

using namespace relay_test;

namespace {

const char kLoginCam1[] = "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":1,"
                          "\"params\":{\"SxtId\":\"cam-1\",\"PWD\":\"473920\"},\"version\":1}";
// A reconnect the clock is not moved for comes 1 to 2 s after the loss in
// real time: waited for with seconds to spare on a slow machine.
const int kReconnectMs = 20000;
const char kHeartbeat[] = "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":0,\"version\":1}";

uint32_t Le32(const std::string &bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

class RelayChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_double::Reset();
        AgentSettings::instance().ResetForTest();
        SetClockOffsetMs(0);
        channel.reset(new CameraChannel(&owner, 0, 7));
    }
    void TearDown() override
    {
        owner.OnNotify(nullptr);
        DestroyChannel();
        SetClockOffsetMs(0);
    }
    void DestroyChannel()
    {
        if (channel) {
            channel->StopSdkStream();
            channel.reset();
        }
    }
    std::string PortOf(LoopbackServer &relay) { return std::to_string(relay.Port()); }
    // Assigns the channel to `relay` and takes the connection with its login.
    void ConnectTo(LoopbackServer &relay, const std::string &id)
    {
        channel->PostRelayRequest(RelayRequest(id, "127.0.0.1", PortOf(relay)));
        ASSERT_TRUE(relay.Accept(3000));
        ASSERT_EQ(LoginFor(id), relay.ReadText(3000));
    }
    // Switches forwarding on through the relay server and reports a picture size.
    void StartForwarding(LoopbackServer &relay)
    {
        relay.SendText(RelayText(2));
        ASSERT_TRUE(Eventually([&] { return channel->IsForwarding(); }));
        DeliverStreamInfo(*channel, 640, 480);
    }

    RecordingOwner owner;
    LoopbackServer server;
    std::unique_ptr<CameraChannel> channel;
};

TEST_F(RelayChannelTest, LogsInAnnouncesAndSendsHeartbeatOnlyAfterTenSeconds)
{
    channel->PostRelayRequest(RelayRequest("cam-1", "127.0.0.1", PortOf(server)));
    ASSERT_TRUE(server.Accept(3000));
    std::string body;
    ASSERT_TRUE(server.ReadFrame(&body, 3000));
    EXPECT_EQ(std::string("0") + kLoginCam1 + std::string(1, '\0'), body);
    ASSERT_TRUE(Eventually([&] { return owner.Events().size() == 1; }));
    EXPECT_EQ(std::vector<std::string>{"cam-1=1"}, owner.Events());
    EXPECT_TRUE(owner.AllWellFormed());
    EXPECT_EQ("cam-1", channel->GetSxtId());

    // Not yet due: the answer to a request is the next thing on the wire.
    AdvanceClockMs(9000);
    Nudge(*channel);
    server.SendText(RelayText(10));
    EXPECT_EQ(kRelayAck10Text, server.ReadText(3000));

    AdvanceClockMs(1500);
    Nudge(*channel);
    EXPECT_EQ(kHeartbeat, server.ReadText(3000));
}

TEST_F(RelayChannelTest, SilenceClosesAndTheNextPassReconnectsWithoutReportingDown)
{
    ConnectTo(server, "cam-1");
    AdvanceClockMs(35001);
    Nudge(*channel);
    EXPECT_TRUE(server.WaitClosed(3000));
    ASSERT_TRUE(server.Accept(kReconnectMs));
    EXPECT_EQ(kLoginCam1, server.ReadText(3000));
    ASSERT_TRUE(Eventually([&] { return owner.Events().size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"cam-1=1", "cam-1=1"}), owner.Events());
}

TEST_F(RelayChannelTest, AnyPacketIsASignOfLife)
{
    ConnectTo(server, "cam-1");
    AdvanceClockMs(30000);
    Nudge(*channel);
    EXPECT_EQ(kHeartbeat, server.ReadText(3000));
    // An empty packet, a packet of another kind and a text without a type;
    // the acknowledgement after them shows all three were taken in.
    server.SendRaw(std::string(4, '\0'));
    server.SendRaw(std::string("\x02\x00\x00\x00XY", 6));
    server.SendText("no message here");
    server.SendText(RelayText(10));
    EXPECT_EQ(kRelayAck10Text, server.ReadText(3000));

    // 40 s after the connect but only 10 s after those packets: still up.
    AdvanceClockMs(10000);
    Nudge(*channel);
    EXPECT_EQ(kHeartbeat, server.ReadText(3000));
    EXPECT_EQ(std::vector<std::string>{"cam-1=1"}, owner.Events());
}

TEST_F(RelayChannelTest, HeartbeatsKeepTheirRhythmAcrossClockStepsWithNothingElseOnTheLink)
{
    ConnectTo(server, "cam-1");  // time 0
    // The clock is set an hour ahead and back again 11 s later; the relay
    // server sends nothing. Each step is looked at at once.
    const int32_t hour = 3600000;
    StepWallClockMs(hour);
    Nudge(*channel);
    for (int beat = 1; beat <= 3; ++beat) {
        AdvanceClockMs(beat == 1 ? 9000 : 8000);  // 1 s before the beat is due
        Nudge(*channel);
        EXPECT_EQ("", server.ReadText(300)) << "beat " << beat;
        AdvanceClockMs(1001);
        Nudge(*channel);
        EXPECT_EQ(kHeartbeat, server.ReadText(3000)) << "beat " << beat;
        AdvanceClockMs(1000);
        if (beat == 1) {
            StepWallClockMs(-hour);
            Nudge(*channel);
        }
    }
    // All on the first link: no reconnect, no new login.
    EXPECT_FALSE(server.WaitClosed(0));
    EXPECT_EQ(std::vector<std::string>{"cam-1=1"}, owner.Events());
}

TEST_F(RelayChannelTest, FailedReconnectReportsDownOnceAndRecoveryReportsUp)
{
    std::unique_ptr<LoopbackServer> relay(new LoopbackServer());
    unsigned short port = relay->Port();
    ConnectTo(*relay, "cam-1");
    // The relay server goes away. Its listener closes just after the link,
    // so one reconnect may still slip in before the refusals start.
    relay.reset();
    ASSERT_TRUE(Eventually([&] { return !owner.Events().empty() && owner.Events().back() == "cam-1=0"; },
                           kReconnectMs));
    ASSERT_TRUE(SettlePasses(*channel));
    ASSERT_TRUE(SettlePasses(*channel));
    std::vector<std::string> events = owner.Events();
    EXPECT_EQ("cam-1=0", events.back());
    events.pop_back();
    for (const std::string &event : events)
        EXPECT_EQ("cam-1=1", event);

    size_t before = owner.Events().size();
    relay.reset(new LoopbackServer("127.0.0.1", port));
    ASSERT_TRUE(relay->Listening());
    AdvanceClockMs(60000);  // the longest wait of the retry schedule
    Nudge(*channel);
    ASSERT_TRUE(relay->Accept(3000));
    EXPECT_EQ(kLoginCam1, relay->ReadText(3000));
    ASSERT_TRUE(Eventually([&] { return owner.Events().size() == before + 1; }));
    EXPECT_EQ("cam-1=1", owner.Events().back());
}

TEST_F(RelayChannelTest, ServerThatDropsEveryLinkIsRetriedLaterEachTimeButARequestConnectsAtOnce)
{
    // The loss is looked at only once the channel has noted it (its retry
    // is timed from then): on a slow machine the note may come after any
    // time this thread moved on.
    LinkStatus &relay = AgentStatus::instance().Channel(0).m_Relay;
    ConnectTo(server, "cam-1");
    server.CloseClient();
    ASSERT_TRUE(Eventually([&] { return relay.State() == kLinkDisconnected; }, 30000));
    // The first retry 1 to 2 s after the loss.
    EXPECT_FALSE(server.Accept(300));
    AdvanceClockMs(2000);
    Nudge(*channel);
    ASSERT_TRUE(server.Accept(3000));
    EXPECT_EQ(kLoginCam1, server.ReadText(3000));
    // The link lived no time: the retry waits its turn again, at least a
    // second, but a relay request does not wait for it.
    int32_t dropped = MonotonicNowMs();
    server.CloseClient();
    ASSERT_TRUE(Eventually([&] { return relay.State() == kLinkDisconnected; }, 30000));
    channel->PostRelayRequest(RelayRequest("cam-1", "127.0.0.1", PortOf(server)));
    ASSERT_TRUE(server.Accept(3000));
    EXPECT_LT(ElapsedMs(MonotonicNowMs(), dropped), 1000u) << "the request waited for the retry";
    EXPECT_EQ(kLoginCam1, server.ReadText(3000));
}

TEST_F(RelayChannelTest, RequestWithEmptyIdClosesWithoutReportingDown)
{
    ConnectTo(server, "cam-1");
    channel->PostRelayRequest(RelayRequest("", "127.0.0.1", PortOf(server)));
    EXPECT_TRUE(server.WaitClosed(3000));
    ASSERT_TRUE(SettlePasses(*channel));
    EXPECT_EQ(std::vector<std::string>{"cam-1=1"}, owner.Events());
    EXPECT_EQ("", channel->GetSxtId());
    EXPECT_FALSE(server.Accept(300));
}

TEST_F(RelayChannelTest, QueuedRequestsAreAppliedOneAPassInOrder)
{
    LoopbackServer second;
    channel->PostRelayRequest(RelayRequest("c1", "127.0.0.1", PortOf(server)));
    channel->PostRelayRequest(RelayRequest("c2", "127.0.0.1", PortOf(second)));
    ASSERT_TRUE(server.Accept(3000));
    EXPECT_EQ(LoginFor("c1"), server.ReadText(3000));
    EXPECT_TRUE(server.WaitClosed(3000));
    ASSERT_TRUE(second.Accept(3000));
    EXPECT_EQ(LoginFor("c2"), second.ReadText(3000));
    ASSERT_TRUE(Eventually([&] { return owner.Events().size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"c1=1", "c2=1"}), owner.Events());
    EXPECT_EQ("c2", channel->GetSxtId());
}

TEST_F(RelayChannelTest, RequestWithAnIdTooLongForTheLoginIsRefusedAndChangesNothing)
{
    // 147 bytes is the longest id the 256-byte login holds.
    std::string longest(147, 'a');
    ConnectTo(server, longest);
    LoopbackServer other;
    testing::internal::CaptureStdout();
    channel->PostRelayRequest(RelayRequest(longest + "a", "127.0.0.1", PortOf(other)));
    ASSERT_TRUE(SettlePasses(*channel));
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, console.find("relay request refused: sxtId of 148 bytes"));
    // No connection for it, no camera state, and the current link stays.
    EXPECT_FALSE(other.Accept(300));
    EXPECT_EQ(std::vector<std::string>{longest + "=1"}, owner.Events());
    EXPECT_EQ(longest, channel->GetSxtId());
    server.SendText(RelayText(10));
    EXPECT_EQ(kRelayAck10Text, server.ReadText(3000));
}

TEST_F(RelayChannelTest, TeardownClosesTheLinkWithoutFarewellAndDropsQueuedCommands)
{
    ConnectTo(server, "cam-1");
    for (int i = 0; i < 20; ++i)
        ReceiveText(*channel, RelayText(9, "\"PTZCommand\":\"1\""));
    DestroyChannel();
    std::string body;
    EXPECT_FALSE(server.ReadFrame(&body, 3000));
    EXPECT_TRUE(server.WaitClosed(100));
    EXPECT_EQ(std::vector<std::string>{"cam-1=1"}, owner.Events());
    EXPECT_LE(sdk_double::JournalMatching("PTZ").size(), 2u);
}

TEST_F(RelayChannelTest, CommandsAreAnsweredInArrivalOrder)
{
    ConnectTo(server, "cam-1");
    sdk_double::ClearJournal();
    server.SendText(RelayText(10));
    server.SendText(RelayText(5));  // not a command: dropped
    server.SendText(RelayText(12));
    server.SendText(RelayText(17));
    server.SendText(RelayText(16, "\"ViedoQP\":\"2\""));
    server.SendText(RelayText(16, "\"ViedoQP\":\"6\""));
    EXPECT_EQ(kRelayAck10Text, server.ReadText(3000));
    EXPECT_EQ(kRelayAck12Text, server.ReadText(3000));
    EXPECT_EQ("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":17,\"params\":{\"status\":\"1\","
              "\"EnableQP\":\"1\",\"ViedoQP\":\"4\",\"PTZ\":\"0\",\"Audio\":\"0\",\"AudioType\":\"2\","
              "\"SetTime\":\"1\",\"Speak\":\"0\"},\"version\":1}",
              server.ReadText(3000));
    EXPECT_EQ("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"params\":{\"ViedoQP\":\"2\"},"
              "\"version\":1}",
              server.ReadText(3000));
    EXPECT_EQ("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"params\":{\"ViedoQP\":\"6\"},"
              "\"version\":1}",
              server.ReadText(3000));
    EXPECT_EQ((std::vector<std::string>{"StopStream", "SetConfig 4100 1,1,400,12,100,0,3", "SetStreamCallBack",
                                        "StartStream channel=1 stream=1 mode=0 mask=7", "StopStream"}),
              sdk_double::Journal());
    EXPECT_EQ(2, AgentSettings::instance().m_ViedoQP.load());
}

TEST_F(RelayChannelTest, VideoPacketLayoutOnTheWire)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    std::vector<unsigned char> payload(1000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 7);
    std::string body;
    for (int i = 0; i < 6; ++i) {
        DeliverFrame(*channel, payload, true);
        ASSERT_TRUE(server.ReadFrame(&body, 3000));
    }
    DeliverFrame(*channel, payload, true, 0);
    std::string packet;
    ASSERT_TRUE(server.ReadBytes(&packet, 1029, 3000));
    const unsigned char head[] = {
        0x01, 0x04, 0x00, 0x00,  // length n + 25
        0x56,                    // 'V'
        0x00, 0x00, 0x56, 0x00,  // media header
        0x00, 0x00, 0x00, 0x00,  // time stamp
        0xE8, 0x03, 0x00, 0x00,  // payload length
        0x07, 0x00, 0x00, 0x00,  // sequence number
        0xC1, 0x83, 0x01, 0x28,  // key frame, 480, kind 12, 640
        0x00, 0x00, 0x00, 0x00,  // reserved
    };
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(head), sizeof(head)), packet.substr(0, 29));
    EXPECT_EQ(std::string(payload.begin(), payload.end()), packet.substr(29));
}

TEST_F(RelayChannelTest, FrameTooLargeForASlotIsRefusedAndForwardingWaitsForAKeyFrame)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    std::string body;
    DeliverFrame(*channel, std::vector<unsigned char>(204771, 0x11), true);
    ASSERT_TRUE(server.ReadFrame(&body, 3000));
    EXPECT_EQ(204796u, body.size());

    testing::internal::CaptureStdout();
    DeliverFrame(*channel, std::vector<unsigned char>(204772, 0x22), true);
    std::string output = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              output.find("GetWriteBuffer is null  mean no packet! now size 204800 ! need size 204801\n"));

    DeliverFrame(*channel, std::vector<unsigned char>(10, 0x33), false);
    DeliverFrame(*channel, std::vector<unsigned char>(10, 0x44), true);
    ASSERT_TRUE(server.ReadFrame(&body, 3000));
    ASSERT_EQ(35u, body.size());
    EXPECT_EQ(3u, Le32(body, 13));        // the refused frame used up number 2
    EXPECT_EQ(1u, Le32(body, 17) & 1u);   // key frame
    EXPECT_EQ(0x44, static_cast<unsigned char>(body[25]));
}

TEST_F(RelayChannelTest, NoVideoReachesARelayServerBeforeTheLogin)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    LoopbackServer next;
    // A key frame handed over the moment the new link comes up, from the
    // relay thread itself, before it has done anything after the login.
    owner.OnNotify([this](const std::string &active) {
        if (active == "1")
            DeliverFrame(*channel, std::vector<unsigned char>(50, 0x77), true);
    });
    channel->PostRelayRequest(RelayRequest("cam-1", "127.0.0.1", PortOf(next)));
    ASSERT_TRUE(next.Accept(3000));
    std::string body;
    ASSERT_TRUE(next.ReadFrame(&body, 3000));
    EXPECT_EQ(std::string("0") + kLoginCam1 + std::string(1, '\0'), body);
    ASSERT_TRUE(next.ReadFrame(&body, 3000));
    EXPECT_EQ('V', body[0]);
}

TEST_F(RelayChannelTest, FirstVideoOnANewLinkIsAKeyFrame)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    std::vector<unsigned char> payload(20, 0x10);
    std::string body;
    DeliverFrame(*channel, payload, true);
    DeliverFrame(*channel, payload, false);
    ASSERT_TRUE(server.ReadFrame(&body, 3000));
    ASSERT_TRUE(server.ReadFrame(&body, 3000));
    // No frame arrives while the link is rebuilt; the first one after it
    // must still be a key frame.
    LoopbackServer next;
    ConnectTo(next, "cam-1");
    DeliverFrame(*channel, payload, false);
    DeliverFrame(*channel, payload, true, 99);
    ASSERT_TRUE(next.ReadFrame(&body, 3000));
    EXPECT_EQ(99u, Le32(body, 5));
    EXPECT_EQ(1u, Le32(body, 17) & 1u);
}

TEST_F(RelayChannelTest, ReconnectsWhileFramesArriveStartWithLoginAndKeyFrame)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    LoopbackServer next;
    std::atomic<bool> pushing(true);
    std::thread pusher([&] {
        std::vector<unsigned char> payload(200, 0x5A);
        for (uint32_t i = 0; pushing.load(); ++i) {
            DeliverFrame(*channel, payload, i % 4 == 0, i);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (int round = 0; round < 12; ++round) {
        // The same address again still closes and reconnects.
        channel->PostRelayRequest(RelayRequest("cam-1", "127.0.0.1", PortOf(next)));
        ASSERT_TRUE(next.Accept(3000));
        std::string body;
        ASSERT_TRUE(next.ReadFrame(&body, 3000));
        ASSERT_EQ(std::string("0") + kLoginCam1 + std::string(1, '\0'), body) << "round " << round;
        do {
            ASSERT_TRUE(next.ReadFrame(&body, 3000)) << "round " << round;
        } while (body[0] != 'V');
        EXPECT_EQ(1u, Le32(body, 17) & 1u) << "round " << round;
    }
    pushing.store(false);
    pusher.join();
}

TEST_F(RelayChannelTest, HeartbeatsFindASlotBehindAStuckUplinkAndOneRefusedIsTriedAgain)
{
    ConnectTo(server, "cam-1");
    StartForwarding(server);
    ChannelStatus &status = AgentStatus::instance().Channel(0);
    uint32_t droppedBefore = Read(status.m_FramesDropped);
    // The relay server stops reading: large frames fill the socket, then
    // every slot video may take.
    std::vector<unsigned char> large(200000, 0x5A);
    for (int i = 0; i < 14; ++i)
        DeliverFrame(*channel, large, true);
    ASSERT_GT(Read(status.m_FramesDropped), droppedBefore) << "the uplink never filled";
    // Answers to three commands: one takes a reserved slot, the last is
    // the heartbeat's.
    testing::internal::CaptureStdout();
    uint32_t doneBefore = Read(status.m_CommandsDone);
    server.SendText(RelayText(10));
    server.SendText(RelayText(12));
    server.SendText(RelayText(10));
    ASSERT_TRUE(Eventually([&] { return Read(status.m_CommandsDone) == doneBefore + 3; }));
    std::string refusals = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, refusals.find("GetWriteBuffer is null")) << refusals;
    // The heartbeat is queued in the last slot; the next one finds none,
    // and is tried again on each pass until it finds one.
    AdvanceClockMs(10001);
    Nudge(*channel);
    ASSERT_TRUE(SettlePasses(*channel));
    AdvanceClockMs(10001);
    Nudge(*channel);
    ASSERT_TRUE(SettlePasses(*channel));
    // The server reads again: both heartbeats arrive, without waiting for
    // the next one to fall due.
    int heartbeats = 0;
    std::string body;
    while (heartbeats < 2 && server.ReadFrame(&body, 3000))
        if (body == std::string("0") + kHeartbeat + std::string(1, '\0'))
            ++heartbeats;
    EXPECT_EQ(2, heartbeats);
}

}  // namespace
