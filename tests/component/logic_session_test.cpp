// The logic server session against an in-test logic server on loopback,
// with time moved through the clock seam.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app/agent_settings.h"
#include "logic/server_logic.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "tests/support/loopback_server.h"

namespace {
const char kDevId[] = "02:00:00:00:00:01";
const int kReadMs = 3000;

std::string DevLoginText()
{
    char text[256];
    FormatDevLogin(text, sizeof(text), kDevId);
    return text;
}

std::string CameraStateText(const std::string &id, const std::string &active)
{
    char text[256];
    FormatCameraState(text, sizeof(text), id.c_str(), active.c_str());
    return text;
}

NotifyEvent CameraState(const std::string &id, const std::string &active)
{
    NotifyEvent event(kEventCameraState);
    event.fields.Set("cameraId", id);
    event.fields.Set("active", active);
    return event;
}

class LogicSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetClockOffsetMs(0);
        AgentSettings &settings = AgentSettings::instance();
        settings.ResetForTest();
        {
            MutexGuard guard(settings.m_DevLock);
            settings.m_DevId = kDevId;
        }
        settings.m_LogicServerIp = "127.0.0.1";
        settings.m_LogicServerPort = m_Server.Port();
    }

    void TearDown() override
    {
        StopRun();
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }

    void StartRun()
    {
        m_Runner = std::thread([this] { m_RunResult = m_Session.Run(); });
    }

    // Refused connects make the run loop give up.
    void StopRun()
    {
        if (!m_Runner.joinable())
            return;
        AgentSettings::instance().m_LogicServerPort = ClosedPort();
        m_Server.CloseClient();
        m_Session.m_LogicConn.Wake();
        m_Runner.join();
    }

    static int ClosedPort()
    {
        LoopbackServer probe;
        return probe.Port();  // closed again when probe goes
    }

    // Moves time on and lets the run loop look at its clocks at once.
    void Advance(int32_t ms)
    {
        AdvanceClockMs(ms);
        m_Session.m_LogicConn.Wake();
    }

    void ExpectLoginThenHeartbeat()
    {
        ASSERT_TRUE(m_Server.Accept(kReadMs));
        EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
        EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
    }

    LoopbackServer m_Server;
    CServerLogic m_Session;
    std::thread m_Runner;
    int m_RunResult = 0;
};
}  // namespace

TEST_F(LogicSession, ConnectSendsLoginThenHeartbeatAndReconnectKeepsTheHeartbeatTimer)
{
    StartRun();
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    std::string frame;
    ASSERT_TRUE(m_Server.ReadBytes(&frame, DevLoginText().size() + 6, kReadMs));
    EXPECT_EQ(FrameText(DevLoginText()), frame);
    EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
    // The peer drops the link: a new login at once, but the heartbeat
    // timer runs on from the last beat.
    m_Server.CloseClient();
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
    EXPECT_EQ("", m_Server.ReadText(300));
    Advance(10001);
    EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
}

TEST_F(LogicSession, HeartbeatFollowsEveryTenSecondsOfClock)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    for (int i = 0; i < 3; ++i) {
        m_Server.SendText("{\"msgType\":0,\"version\":1}");  // keeps the link alive
        Advance(10001);
        EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs)) << "beat " << i;
    }
}

TEST_F(LogicSession, SilentServerIsDroppedAfter35SecondsAndLoginFollows)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    Advance(34000);
    // Still connected: only the heartbeats that fell due on the way.
    EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
    Advance(1001);
    EXPECT_TRUE(m_Server.WaitClosed(kReadMs));
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
}

TEST_F(LogicSession, ServerThatDropsEveryLinkAtOnceIsNotStormed)
{
    StartRun();
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    m_Server.CloseClient();
    // The link lived for no time: no reconnect until a second has passed.
    EXPECT_FALSE(m_Server.Accept(300));
    Advance(1000);
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
}

TEST_F(LogicSession, TwentyOneRefusedConnectsEndTheRun)
{
    AgentSettings::instance().m_LogicServerPort = ClosedPort();
    EXPECT_EQ(1, m_Session.Run());
    EXPECT_FALSE(m_Session.m_LogicConn.IsConnected());
}

TEST_F(LogicSession, EventsPostedWhileDownGoOutInOrderAfterConnect)
{
    m_Session.notify(CameraState("cam-A", "1"));
    m_Session.notify(CameraState("cam-B", "0"));
    m_Session.notify(NotifyEvent(kEventRelayRequest));  // not for the session: dropped
    m_Session.notify(NotifyEvent(4));                   // unknown kind: dropped
    NotifyEvent noActive(kEventCameraState);
    noActive.fields.Set("cameraId", "cam-C");
    m_Session.notify(noActive);
    StartRun();
    ExpectLoginThenHeartbeat();
    EXPECT_EQ(CameraStateText("cam-A", "1"), m_Server.ReadText(kReadMs));
    EXPECT_EQ(CameraStateText("cam-B", "0"), m_Server.ReadText(kReadMs));
    EXPECT_EQ(CameraStateText("cam-C", ""), m_Server.ReadText(kReadMs));
    EXPECT_EQ(0u, m_Session.PendingEventCount());
}

TEST_F(LogicSession, NotifyFromAnotherThreadIsSentPromptly)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    auto start = std::chrono::steady_clock::now();
    std::thread([this] { m_Session.notify(CameraState("cam-1", "1")); }).join();
    EXPECT_EQ(CameraStateText("cam-1", "1"), m_Server.ReadText(kReadMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(LogicSession, AFloodOfRefusedLoginsKeepsFewRetriesAndHoldsNothingUp)
{
    // A server that answers the login with "-2" over and over: the retries
    // all fall due together, so only a few wait, and a camera state behind
    // them still goes out promptly.
    const size_t refusals = 20000;
    StartRun();
    ExpectLoginThenHeartbeat();
    std::string refusal = "{\"msgType\":1,\"params\":{\"status\":\"-2\"},\"version\":1}";
    for (size_t i = 0; i < refusals; ++i)
        m_Server.SendText(refusal);
    m_Server.SendText("{\"msgType\":16,\"params\":{\"msgId\":\"last\"},\"version\":1}");
    EXPECT_NE(std::string::npos, m_Server.ReadText(10000).find("\"msgId\":\"last\""));
    EXPECT_EQ(16u, m_Session.PendingEventCount());
    m_Session.notify(CameraState("cam-1", "1"));
    EXPECT_EQ(CameraStateText("cam-1", "1"), m_Server.ReadText(5000));
}

TEST_F(LogicSession, RefusedLoginIsRetriedOnceAfterThirtySeconds)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    m_Server.SendText("{\"msgType\":1,\"params\":{\"status\":\"-2\"},\"version\":1}");
    // Nothing but the retry event circulates until its time has come.
    EXPECT_EQ("", m_Server.ReadText(300));
    Advance(29000);
    EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
    EXPECT_EQ("", m_Server.ReadText(300));
    m_Server.SendText("{\"msgType\":0,\"version\":1}");
    Advance(1001);
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
    EXPECT_EQ(0u, m_Session.PendingEventCount());
    Advance(5000);
    EXPECT_EQ("", m_Server.ReadText(300));
}

TEST_F(LogicSession, RequestsConcerningACameraAreRefused)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    m_Server.SendText("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"version\":1}");
    EXPECT_EQ("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"params\":{\"msgId\":\"\","
              "\"socketId\":\"\",\"msgType\":\"\",\"status\":\"0\",\"cameraId\":\"\",\"errorMsg\":\"device "
              "not support\"},\"version\":1}",
              m_Server.ReadText(kReadMs));
    m_Server.SendText("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"params\":{"
                      "\"msgId\":\"7\",\"socketId\":\"12\",\"msgType\":\"9\",\"cameraId\":\"3\"},\"version\":1}");
    EXPECT_EQ("{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":16,\"params\":{\"msgId\":\"7\","
              "\"socketId\":\"12\",\"msgType\":\"9\",\"status\":\"0\",\"cameraId\":\"3\",\"errorMsg\":\"device "
              "not support\"},\"version\":1}",
              m_Server.ReadText(kReadMs));
    // Values too long for the answer get no answer; the link stays up.
    m_Server.SendText("{\"msgType\":16,\"params\":{\"msgId\":\"" + std::string(76, 'x') + "\"},\"version\":1}");
    m_Server.SendText("{\"msgType\":16,\"params\":{\"msgId\":\"8\"},\"version\":1}");
    std::string answer = m_Server.ReadText(kReadMs);
    EXPECT_NE(std::string::npos, answer.find("\"msgId\":\"8\"")) << answer;
}
