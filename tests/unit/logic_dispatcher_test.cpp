// What each logic server message does to the settings and the session,
// without a connection.
#include <gtest/gtest.h>

#include "records/agent_settings.h"
#include "logic/server_logic.h"
#include "runtime/clock.h"

namespace {
std::string Message(int type, const std::string &params)
{
    std::string text = "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":" +
                       std::to_string(type) + ",";
    if (!params.empty())
        text += "\"params\":{" + params + "},";
    return text + "\"version\":1}";
}

class LogicDispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }
    void TearDown() override
    {
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }

    // Delivers a text as the connection would: kind byte, text, NUL.
    void Deliver(const std::string &text)
    {
        std::string body = "0" + text + std::string(1, '\0');
        LogicMessageHandler(body.data(), static_cast<int32_t>(body.size()), &m_Session);
    }

    // Handles a text and reports whether m_LastRecvTime moved.
    bool DeliverMovesRecvTime(const std::string &text)
    {
        m_Session.m_LastRecvTime = static_cast<int32_t>(static_cast<uint32_t>(MonotonicNowMs()) - 100000u);
        Deliver(text);
        return ElapsedMs(MonotonicNowMs(), m_Session.m_LastRecvTime) < 1000;
    }

    CServerLogic m_Session;
};
}  // namespace

TEST_F(LogicDispatcher, AcceptedLoginReplacesAllFourSettings)
{
    AgentSettings &s = AgentSettings::instance();
    EXPECT_TRUE(DeliverMovesRecvTime(Message(
        1, "\"status\":\"1\",\"Version\":\"2.1\",\"sysTime\":\"2015-06-01 12:30:05\","
           "\"updateUrl\":\"http://u:1/x\",\"uploadUrl\":\"http://up:8080/alarm\"")));
    EXPECT_EQ("2.1", s.m_Version);
    EXPECT_EQ("2015-06-01 12:30:05", s.m_SysTime);
    EXPECT_EQ("http://u:1/x", s.m_UpdateUrl);
    EXPECT_EQ("http://up:8080/alarm", s.m_UploadUrl.Get());

    Deliver(Message(1, "\"status\":\"1\",\"Version\":\"2.2\",\"updateUrl\":\"a\",\"uploadUrl\":\"b\""));
    EXPECT_EQ("2.2", s.m_Version);
    EXPECT_EQ("", s.m_SysTime);
    EXPECT_EQ(0u, m_Session.PendingEventCount());
}

TEST_F(LogicDispatcher, RetryLaterSchedulesOneRetryAndChangesNoSetting)
{
    AdvanceClockMs(5000);
    m_Session.m_LoginRetryTime = 0;
    Deliver(Message(1, "\"status\":\"-2\",\"Version\":\"9\""));
    EXPECT_LT(ElapsedMs(MonotonicNowMs(), m_Session.m_LoginRetryTime), 1000u);
    ASSERT_EQ(1u, m_Session.PendingEventCount());
    EXPECT_EQ(kEventLoginRetry, m_Session.m_EventQueue.front().kind);
    EXPECT_EQ(0u, m_Session.m_EventQueue.front().fields.Size());
    EXPECT_EQ("", AgentSettings::instance().m_Version);
}

TEST_F(LogicDispatcher, RepeatedRefusalsKeepAtMostSixteenRetries)
{
    for (int i = 0; i < 100; ++i)
        Deliver(Message(1, "\"status\":\"-2\""));
    EXPECT_EQ(16u, m_Session.PendingEventCount());
    m_Session.notify(NotifyEvent(kEventCameraState));
    EXPECT_EQ(17u, m_Session.PendingEventCount());
}

TEST_F(LogicDispatcher, OtherStatusesOnlyMoveTheReceiveTime)
{
    const char *params[] = {"\"status\":\"0\",\"Version\":\"9\"", "\"status\":\"01\",\"Version\":\"9\"",
                            "\"status\":\" 1\",\"Version\":\"9\"", "\"Version\":\"9\""};
    for (const char *p : params) {
        EXPECT_TRUE(DeliverMovesRecvTime(Message(1, p))) << p;
        EXPECT_EQ("", AgentSettings::instance().m_Version) << p;
        EXPECT_EQ(0u, m_Session.PendingEventCount()) << p;
    }
}

TEST_F(LogicDispatcher, UserMessageReplacesTheThreeIdentifiers)
{
    AgentSettings &s = AgentSettings::instance();
    Deliver(Message(2, "\"userId\":\"u1\",\"nodeId\":\"node7\",\"nodeName\":\"hall\""));
    EXPECT_EQ("u1", s.m_UserId.Get());
    EXPECT_EQ("node7", s.m_NodeId.Get());
    EXPECT_EQ("hall", s.m_NodeName.Get());
    Deliver(Message(2, "\"nodeId\":\"node8\""));
    EXPECT_EQ("", s.m_UserId.Get());
    EXPECT_EQ("node8", s.m_NodeId.Get());
    EXPECT_EQ("", s.m_NodeName.Get());
}

TEST_F(LogicDispatcher, UnhandledTextsOnlyMoveTheReceiveTime)
{
    const std::string texts[] = {"{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":0,\"version\":1}",
                                 Message(4, "\"userId\":\"x\""), Message(17, "\"userId\":\"x\""),
                                 "not a message at all", ""};
    for (const std::string &text : texts) {
        EXPECT_TRUE(DeliverMovesRecvTime(text)) << text;
        EXPECT_EQ("", AgentSettings::instance().m_UserId.Get());
        EXPECT_EQ(0u, m_Session.PendingEventCount());
    }
}

TEST_F(LogicDispatcher, NullContextAndEmptyFramesChangeNothing)
{
    m_Session.m_LastRecvTime = 12345;
    std::string body = "0" + Message(2, "\"userId\":\"u1\"");
    LogicMessageHandler(body.data(), static_cast<int32_t>(body.size()), nullptr);
    LogicMessageHandler(body.data(), 0, &m_Session);
    EXPECT_EQ(12345, m_Session.m_LastRecvTime);
    EXPECT_EQ("", AgentSettings::instance().m_UserId.Get());
}

TEST_F(LogicDispatcher, SendsNothingWhileTheLinkIsDown)
{
    EXPECT_EQ(0, m_Session.SendHeartbeat());
    EXPECT_EQ(0, m_Session.SendDevLogin());
    EXPECT_EQ(0, m_Session.SendCameraState(NotifyEvent(kEventCameraState)));
    // A refusal while down is dropped without harm.
    Deliver(Message(16, "\"msgId\":\"7\""));
}
