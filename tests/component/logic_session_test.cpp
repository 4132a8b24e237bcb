// The logic server session against an in-test logic server on loopback,
// with time moved through the clock seam.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "records/agent_settings.h"
#include "logic/alarm_report.h"
#include "logic/server_logic.h"
#include "protocol/message.h"
#include "protocol/templates.h"
#include "runtime/backoff.h"
#include "runtime/clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/loopback_server.h"
#include "tests/support/sdk_double.h"

namespace {
const char kDevId[] = "02:00:00:00:00:01";
const int kReadMs = 3000;
// A reconnect the clock is not moved for comes 1 to 2 s after the loss in
// real time: waited for with seconds to spare on a slow machine.
const int kReconnectMs = 20000;
const int32_t kStepMs = 250;  // how far the clock moves between looks of the run
const uint32_t kLateMs = 2 * kStepMs;

// A refused connect leaves no trace on any server, so the attempts on one
// watched port are counted where the agent makes them: in `connect` below.
std::atomic<int> g_WatchedPort(-1);
std::atomic<int> g_WatchedAttempts(0);
// Runs on the connecting thread before each watched attempt, with its
// number; set while no run is going.
std::function<void(int)> g_BeforeWatchedAttempt;

void WatchConnectsTo(int port, std::function<void(int)> before = nullptr)
{
    g_BeforeWatchedAttempt = before;
    g_WatchedAttempts = 0;
    g_WatchedPort = port;
}
}  // namespace

// Stands in front of the C library's connect for this test executable and
// passes every call on unchanged.
extern "C" int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    typedef int (*ConnectFunction)(int, const struct sockaddr *, socklen_t);
    static ConnectFunction next = reinterpret_cast<ConnectFunction>(dlsym(RTLD_NEXT, "connect"));
    if (address != nullptr && address->sa_family == AF_INET && length >= sizeof(struct sockaddr_in) &&
        ntohs(reinterpret_cast<const struct sockaddr_in *>(address)->sin_port) == g_WatchedPort.load()) {
        int attempt = ++g_WatchedAttempts;
        if (g_BeforeWatchedAttempt)
            g_BeforeWatchedAttempt(attempt);
    }
    return next(fd, address, length);
}

namespace {

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
        WatchConnectsTo(-1);
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }

    void StartRun()
    {
        m_RunEnded = false;
        m_Runner = std::thread([this] {
            m_RunResult = m_Session.Run();
            m_RunEnded = true;
        });
    }

    // Passes time in steps until the run loop gives up.
    void DriveUntilTheRunEnds(int32_t stepMs)
    {
        while (!m_RunEnded.load()) {
            Advance(stepMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_Runner.join();
    }

    // Refused connects for long enough make the run loop give up.
    void StopRun()
    {
        if (!m_Runner.joinable())
            return;
        AgentSettings::instance().m_LogicServerPort = ClosedPort();
        m_Server.CloseClient();
        DriveUntilTheRunEnds(5000);
    }

    static int ClosedPort()
    {
        LoopbackServer probe;
        return probe.Port();  // closed again when probe goes
    }

    // Moves time on and lets the run loop look at its clocks at once; then
    // waits until the run is back in its wait, so that a run the machine
    // is slow to schedule still sees each step rather than one large jump.
    void Advance(int32_t ms)
    {
        AdvanceClockMs(ms);
        m_Session.m_LogicConn.Wake();
        if (!m_Runner.joinable())
            return;
        for (int i = 0; i < 5000 && !m_RunEnded.load() && !m_Session.m_LogicConn.OwnerIsWaiting(); ++i)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    // Drops the link and lets time pass in steps, each looked at by the
    // run, until it connects again. Returns how long after the drop that
    // connect came by the run's own clock, taken as it connects, so a
    // late look from this thread cannot shorten or stretch the wait.
    uint32_t DropAndTimeTheRetry()
    {
        int32_t dropped = MonotonicNowMs();
        int attempts = g_WatchedAttempts.load();
        m_Server.CloseClient();
        for (int32_t passed = 0; passed <= static_cast<int32_t>(kReconnectCapMs) + 5000 && !m_Server.Accept(250); passed += 250)
            Advance(250);
        EXPECT_EQ(attempts + 1, g_WatchedAttempts.load());
        return ElapsedMs(m_LastConnectAt.load(), dropped);
    }
    // Notes the run's clock at each connect to the test server.
    void TimeConnects()
    {
        WatchConnectsTo(m_Server.Port(), [this](int) { m_LastConnectAt.store(MonotonicNowMs()); });
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
    std::atomic<bool> m_RunEnded{false};
    int m_RunResult = 0;
    std::atomic<int32_t> m_LastConnectAt{0};
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
    // The peer drops the link: a new login a second or two later, but the
    // heartbeat timer runs on from the last beat.
    m_Server.CloseClient();
    ASSERT_TRUE(m_Server.Accept(kReconnectMs));
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
    ASSERT_TRUE(m_Server.Accept(kReconnectMs));
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
}

TEST_F(LogicSession, AClockSetBackThenAnAlarmKeepsTheLinkAndTheHeartbeatRhythm)
{
    HttpAnswer accepting;
    accepting.final = "HTTP/1.0 200 OK\r\n\r\n";
    HttpTestServer upload(accepting);
    LoopbackServer relay;
    sdk_double::Reset();
    AgentSettings::instance().m_UploadUrl.Set(upload.Url());
    // Channel 0 with a relay id, so that an alarm is uploaded and reported.
    CameraChannel *channel = new CameraChannel(nullptr, 0, sdk_double::Current().handle);
    {
        MutexGuard guard(m_Session.m_ChannelsLock);
        m_Session.m_Channels[0] = channel;
    }
    NotifyEvent request(kEventRelayRequest);
    request.fields.Set("sxtId", "abc");
    request.fields.Set("transIp", "127.0.0.1");
    request.fields.Set("transPort", std::to_string(relay.Port()));
    channel->PostRelayRequest(request);
    for (int i = 0; i < 300 && channel->GetSxtId() != "abc"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ("abc", channel->GetSxtId());

    StartRun();
    ExpectLoginThenHeartbeat();
    // The clock goes back 5 s (NTP, or the relay server's time command),
    // and an alarm gives the loop work at once.
    StepWallClockMs(-5000);
    unsigned char none = 0;
    AlarmDataCallback(7, 0, &none, 1, &m_Session);
    EXPECT_EQ(14, ParseMessage(m_Server.ReadText(kReadMs)).m_MsgType);
    // Same link, so no new login; the next heartbeat on it 10 s after the
    // last one, as if the clock had not moved.
    EXPECT_FALSE(m_Server.WaitClosed(300));
    Advance(10001);
    EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs));
    StopRun();
    m_Session.LogoutDev();  // stops and deletes the channel
}

TEST_F(LogicSession, HeartbeatsKeepTheirRhythmAcrossClockStepsWithNothingElseOnTheLink)
{
    StartRun();
    ExpectLoginThenHeartbeat();  // time 0
    // The clock is set an hour ahead and back again 11 s later (NTP after a
    // boot, then the cloud's time command); the server sends nothing. Each
    // step is looked at at once, as a message arriving then would make it.
    const int32_t hour = 3600000;
    const std::string nothing;
    StepWallClockMs(hour);
    m_Session.m_LogicConn.Wake();
    for (int beat = 1; beat <= 3; ++beat) {
        Advance(beat == 1 ? 9000 : 8000);  // 1 s before the beat is due
        EXPECT_EQ(nothing, m_Server.ReadText(300)) << "beat " << beat;
        Advance(1001);
        EXPECT_EQ(std::string(kHeartbeatText), m_Server.ReadText(kReadMs)) << "beat " << beat;
        Advance(1000);
        if (beat == 1) {
            StepWallClockMs(-hour);
            m_Session.m_LogicConn.Wake();
        }
    }
    // All on the first link: no reconnect, no new login.
    EXPECT_FALSE(m_Server.WaitClosed(0));
}

TEST_F(LogicSession, ReconnectsBackOffUntilALoginIsAcceptedThenStartAfresh)
{
    // The run notices a drop and connects again after some delay of its own
    // on a slow machine: bounds from above allow a second for that.
    const uint32_t lateness = 1000;
    TimeConnects();
    StartRun();
    ASSERT_TRUE(m_Server.Accept(kReadMs));
    // Dropped with the login unanswered: the first retry 1 to 2 s later.
    uint32_t wait = DropAndTimeTheRetry();
    EXPECT_GE(wait, 1000u);
    EXPECT_LE(wait, 2000u + lateness);
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
    // Dropped again: the second retry 1 to 6 s later.
    wait = DropAndTimeTheRetry();
    EXPECT_GE(wait, 1000u);
    EXPECT_LE(wait, 6000u + lateness);
    EXPECT_EQ(DevLoginText(), m_Server.ReadText(kReadMs));
    // This time the login is accepted (the answer to a later request shows
    // it was read): the next loss is retried 1 to 2 s later again.
    m_Server.SendText("{\"msgType\":1,\"params\":{\"status\":\"1\"},\"version\":1}");
    m_Server.SendText("{\"msgType\":16,\"params\":{\"msgId\":\"1\"},\"version\":1}");
    std::string answer;
    do {
        answer = m_Server.ReadText(kReadMs);
    } while (answer == kHeartbeatText);
    ASSERT_NE(std::string::npos, answer.find("\"msgType\":16")) << answer;
    wait = DropAndTimeTheRetry();
    EXPECT_GE(wait, 1000u);
    EXPECT_LE(wait, 2000u + lateness);
}

TEST_F(LogicSession, RefusedConnectsArePacedAndEndTheRunAfterHalfAMinute)
{
    const int refusing = ClosedPort();
    AgentSettings::instance().m_LogicServerPort = refusing;
    std::vector<int32_t> attempts;  // written on the run's thread before each connect
    WatchConnectsTo(refusing, [&](int) { attempts.push_back(MonotonicNowMs()); });
    StartRun();
    DriveUntilTheRunEnds(kStepMs);
    EXPECT_EQ(1, m_RunResult);
    EXPECT_FALSE(m_Session.m_LogicConn.IsConnected());
    // Attempts 1-2 s apart, then 1 s up to 6, 18 and 54 s: the run ends
    // once the wait for the next would take the failures past 30 s, which
    // the first three waits never do; the next attempt, the directory
    // lookup, is still to wait for. A loaded machine may look a step or two
    // late at any of these times.
    ASSERT_GE(attempts.size(), 4u);
    ASSERT_LE(attempts.size(), 31u);
    uint32_t ceiling = 2000;
    for (size_t i = 1; i < attempts.size(); ++i, ceiling = ceiling * 3 < 60000 ? ceiling * 3 : 60000) {
        uint32_t gap = ElapsedMs(attempts[i], attempts[i - 1]);
        EXPECT_GE(gap, 1000u) << "attempt " << i;
        EXPECT_LE(gap, ceiling + kLateMs) << "attempt " << i;
    }
    EXPECT_LT(ElapsedMs(attempts.back(), attempts[0]), 30000u + kLateMs);
    // The lookup comes within the next half minute, whatever the draw.
    uint32_t lookupAt = m_Session.MsUntilLogicRetry() + ElapsedMs(MonotonicNowMs(), attempts[0]);
    EXPECT_GT(lookupAt, 29999u);
    EXPECT_LE(lookupAt, 60000u + kLateMs);
}

TEST_F(LogicSession, ARunThatLooksLateStillLooksUpTheServerWithinAMinuteOfTheOutage)
{
    // The camera was too busy to look at its clock for most of a minute
    // after its first attempt: the second fails just short of a minute
    // into the outage, and the lookup still comes by the minute, not a
    // whole reconnect wait later.
    const int refusing = ClosedPort();
    AgentSettings::instance().m_LogicServerPort = refusing;
    int32_t first = 0;
    WatchConnectsTo(refusing, [&](int attempt) {
        if (attempt == 1)
            first = MonotonicNowMs();
        else if (attempt == 2)
            AdvanceClockMs(59700 - static_cast<int32_t>(ElapsedMs(MonotonicNowMs(), first)));
    });
    StartRun();
    DriveUntilTheRunEnds(kStepMs);
    EXPECT_EQ(2, g_WatchedAttempts.load());
    uint32_t lookupAt = m_Session.MsUntilLogicRetry() + ElapsedMs(MonotonicNowMs(), first);
    EXPECT_LE(lookupAt, 60000u + kLateMs);
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
    // The run now waits for the next heartbeat, 10 s on: an event whose
    // wake was lost would go out only in that pass, behind the heartbeat.
    // So the order shows it, with no bound on how fast this machine runs.
    std::thread([this] { m_Session.notify(CameraState("cam-1", "1")); }).join();
    EXPECT_EQ(CameraStateText("cam-1", "1"), m_Server.ReadText(kReconnectMs));
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

TEST_F(LogicSession, RefusedLoginIsRetriedOnceAfterThirtySecondsWhateverTheClockSteps)
{
    StartRun();
    ExpectLoginThenHeartbeat();
    m_Server.SendText("{\"msgType\":1,\"params\":{\"status\":\"-2\"},\"version\":1}");
    // Nothing but the retry event circulates until its time has come.
    EXPECT_EQ("", m_Server.ReadText(300));
    // Neither a clock set back an hour nor one set forward brings it on.
    for (int32_t step : {-3600000, 7200000}) {
        StepWallClockMs(step);
        m_Session.m_LogicConn.Wake();
    }
    EXPECT_EQ("", m_Server.ReadText(300));
    Advance(28500);
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
