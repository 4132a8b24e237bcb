// The directory lookup against in-test directory servers on several
// loopback addresses sharing one port.
#include <gtest/gtest.h>

#include <thread>

#include "records/agent_settings.h"
#include "logic/logic_thread.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "tests/support/loopback_server.h"

namespace {
const char kHost1[] = "127.0.0.2";
const char kHost2[] = "127.0.0.3";
const char kHost3[] = "127.0.0.4";
const char *const kHosts[] = {kHost1, kHost2, kHost3};

std::string Answer(const std::string &params)
{
    return "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":1,\"params\":{" + params +
           "},\"version\":1}";
}

void Deliver(const std::string &text)
{
    std::string body = "0" + text + std::string(1, '\0');
    DirectoryReplyHandler(body.data(), static_cast<int32_t>(body.size()), nullptr);
}

class DirectoryLookup : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
        m_Conn.Setup(kDirectorySlotSize, kDirectorySlotCount, DirectoryReplyHandler, nullptr);
    }
    void TearDown() override
    {
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }

    // A free port number on the loopback addresses the test uses.
    static unsigned short SharedPort()
    {
        LoopbackServer probe(kHost3);
        return probe.Port();
    }

    TcpConnection m_Conn;
};
}  // namespace

TEST_F(DirectoryLookup, ReplyHandlerTakesTheLastTypeOneAnswer)
{
    AgentSettings &s = AgentSettings::instance();
    Deliver(Answer("\"LogicServerIp\":\"10.1.1.1\",\"LogicServerPort\":\"7000\""));
    Deliver(Answer("\"LogicServerIp\":\"logic.example\",\"LogicServerPort\":\"7001\""));
    EXPECT_EQ("logic.example", s.m_LogicServerIp);
    EXPECT_EQ(7001, s.m_LogicServerPort);
    // Another type is ignored; an answer without a port leaves 0.
    Deliver("{\"msgType\":2,\"params\":{\"LogicServerIp\":\"x\"},\"version\":1}");
    EXPECT_EQ("logic.example", s.m_LogicServerIp);
    Deliver(Answer("\"LogicServerIp\":\"10.1.1.2\""));
    EXPECT_EQ("10.1.1.2", s.m_LogicServerIp);
    EXPECT_EQ(0, s.m_LogicServerPort);
    DirectoryReplyHandler("", 0, nullptr);  // an empty frame is ignored
}

TEST_F(DirectoryLookup, FallsBackToTheFirstEndpointThatAccepts)
{
    unsigned short port = SharedPort();
    LoopbackServer third(kHost3, port);
    ASSERT_TRUE(third.Listening());
    std::thread server([&] {
        ASSERT_TRUE(third.Accept(15000));
        EXPECT_EQ(std::string(kDirectoryRequestText), third.ReadText(5000));
        third.SendText(Answer("\"LogicServerIp\":\"127.0.0.9\",\"LogicServerPort\":\"6001\""));
    });
    EXPECT_TRUE(LookUpLogicServer(m_Conn, kHosts, 3, port));
    server.join();
    EXPECT_EQ("127.0.0.9", AgentSettings::instance().m_LogicServerIp);
    EXPECT_EQ(6001, AgentSettings::instance().m_LogicServerPort);
}

TEST_F(DirectoryLookup, FirstEndpointThatAcceptsIsTheOnlyOneAskedEvenIfSilent)
{
    unsigned short port = SharedPort();
    LoopbackServer first(kHost1, port);
    LoopbackServer second(kHost2, port);
    ASSERT_TRUE(first.Listening());
    ASSERT_TRUE(second.Listening());
    AgentSettings::instance().m_LogicServerIp = "stale";
    AgentSettings::instance().m_LogicServerPort = 99;
    std::thread silent([&] {
        ASSERT_TRUE(first.Accept(15000));
        EXPECT_EQ(std::string(kDirectoryRequestText), first.ReadText(5000));
        // Let the whole read window pass without an answer.
        AdvanceClockMs(3000);
        m_Conn.Wake();
    });
    EXPECT_FALSE(LookUpLogicServer(m_Conn, kHosts, 3, port));
    silent.join();
    EXPECT_FALSE(second.Accept(0));
    EXPECT_EQ("", AgentSettings::instance().m_LogicServerIp);
    EXPECT_EQ(0, AgentSettings::instance().m_LogicServerPort);
    // The connection left open is closed by the next lookup.
    EXPECT_TRUE(m_Conn.IsConnected());
}

TEST_F(DirectoryLookup, NoEndpointReachableLeavesTheAddressEmpty)
{
    unsigned short port = SharedPort();
    EXPECT_FALSE(LookUpLogicServer(m_Conn, kHosts, 3, port));
    EXPECT_FALSE(m_Conn.IsConnected());
}

TEST_F(DirectoryLookup, ClockStepsWhileTheAnswerIsOnItsWayDoNotEndTheWait)
{
    const int32_t hour = 3600000;
    for (int32_t step : {-hour, hour}) {
        unsigned short port = SharedPort();
        LoopbackServer first(kHost1, port);
        ASSERT_TRUE(first.Listening());
        AgentSettings::instance().ResetForTest();
        std::thread server([&] {
            ASSERT_TRUE(first.Accept(15000));
            EXPECT_EQ(std::string(kDirectoryRequestText), first.ReadText(5000));
            // The lookup wakes to a stepped clock before the answer is in.
            StepWallClockMs(step);
            m_Conn.Wake();
            SleepMs(50);
            first.SendText(Answer("\"LogicServerIp\":\"127.0.0.9\",\"LogicServerPort\":\"6001\""));
            first.CloseClient();
        });
        EXPECT_TRUE(LookUpLogicServer(m_Conn, kHosts, 3, port)) << step;
        server.join();
        EXPECT_EQ("127.0.0.9", AgentSettings::instance().m_LogicServerIp) << step;
        SetClockOffsetMs(0);
    }
}
