// Alarm texts, and the session's alarm path: guards, 30 s spacing (moved
// through the clock seam), snapshot, upload to an in-test HTTP server and
// the report on a loopback logic link.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "alarm/alarm_text.h"
#include "records/agent_settings.h"
#include "logic/alarm_report.h"
#include "logic/server_logic.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "tests/support/http_test_server.h"
#include "tests/support/loopback_server.h"
#include "tests/support/sdk_double.h"

namespace {

const char kMotionGbk[] = "\xD2\xC6\xB6\xAF\xD5\xEC\xB2\xE2";
const char kInputGbk[] = "\xCA\xE4\xC8\xEB\xB1\xA8\xBE\xAF";
const int kReadMs = 3000;

std::string ReportText(const char *msg, const std::string &cameraId, const std::string &picture)
{
    char text[kAlarmReportSize];
    FormatAlarmReport(text, sizeof(text), "u1", "n1", cameraId.c_str(), msg, picture.c_str(), "node one", "");
    return text;
}

std::string SnapshotName(const std::string &sxtId, int32_t alarmTime)
{
    char name[kSnapshotNameSize];
    FormatSnapshotName(name, sizeof(name), sxtId.c_str(), alarmTime);
    return name;
}

} // namespace

TEST(AlarmText, SnapshotNameIsRelayIdAndUnsignedTime)
{
    char name[kSnapshotNameSize];
    EXPECT_EQ(13, FormatSnapshotName(name, sizeof(name), "abc", 12345));
    EXPECT_STREQ("abc_12345.jpg", name);
    FormatSnapshotName(name, sizeof(name), "abc", -1);
    EXPECT_STREQ("abc_4294967295.jpg", name);

    // 128 bytes with the NUL: "_12345.jpg" leaves 117 for the relay id.
    EXPECT_EQ(127, FormatSnapshotName(name, sizeof(name), std::string(117, 'i').c_str(), 12345));
    memset(name, 'X', sizeof(name));
    EXPECT_EQ(-1, FormatSnapshotName(name, sizeof(name), std::string(118, 'i').c_str(), 12345));
    EXPECT_EQ(0, name[0]);
    EXPECT_EQ(0, name[sizeof(name) - 1]);
}

TEST(AlarmText, ReportCarriesTheKindsGbkText)
{
    EXPECT_EQ(std::string(kMotionGbk), AlarmKindText(kAlarmMotion));
    EXPECT_EQ(std::string(kInputGbk), AlarmKindText(kAlarmInput));
    EXPECT_STREQ("", AlarmKindText(3));

    AlarmReportValues values = {"u1", "n1", "abc", "abc_12345.jpg", "node one", ""};
    char text[kAlarmReportSize];
    int length = FormatAlarmReportText(text, sizeof(text), kAlarmInput, values);
    const std::string expected =
        "{\"TimeSep\":-842150451,\"appId\":1,\"clientType\":8,\"msgType\":14,\"params\":{"
        "\"userId\":\"u1\",\"nodeId\":\"n1\",\"cameraId\":\"abc\",\"kind\":\"1\","
        "\"msg\":\"\xCA\xE4\xC8\xEB\xB1\xA8\xBE\xAF\",\"picture\":\"abc_12345.jpg\","
        "\"nodeName\":\"node one\",\"cameraName\":\"\",\"remark\":\"\"},\"version\":1}";
    EXPECT_EQ(expected, text);
    EXPECT_EQ(static_cast<int>(expected.size()), length);

    // Values too long for the 512-byte buffer give no report at all.
    std::string longId(400, 'u');
    values.userId = longId.c_str();
    EXPECT_EQ(-1, FormatAlarmReportText(text, sizeof(text), kAlarmMotion, values));
    EXPECT_EQ(0, text[0]);
}

// A session whose logic link is up (to a loopback peer that the test reads)
// and whose upload URL points at an in-test HTTP server.
class AlarmReport : public ::testing::Test {
protected:
    AlarmReport() : m_Http(Accepting()) {}

    static HttpAnswer Accepting()
    {
        HttpAnswer answer;
        answer.final = "HTTP/1.0 200 OK\r\n\r\n";
        return answer;
    }

    void SetUp() override
    {
        SetClockOffsetMs(0);
        sdk_double::Reset();
        AgentSettings &settings = AgentSettings::instance();
        settings.ResetForTest();
        settings.m_UploadUrl.Set(m_Http.Url());
        settings.m_UserId.Set("u1");
        settings.m_NodeId.Set("n1");
        settings.m_NodeName.Set("node one");
        ConnectLogicLink();
    }

    void TearDown() override
    {
        m_Session.LogoutDev(); // stops and deletes the channels
        SetClockOffsetMs(0);
        AgentSettings::instance().ResetForTest();
    }

    void ConnectLogicLink()
    {
        ASSERT_EQ(1, m_Session.m_LogicConn.Connect("127.0.0.1", m_Logic.Port(), 5));
        ASSERT_TRUE(m_Logic.Accept(kReadMs));
    }

    // Channel 0, with a relay request carrying `sxtId` when it is not empty.
    CameraChannel *AddChannel(const std::string &sxtId)
    {
        CameraChannel *channel = new CameraChannel(&m_Session, 0, sdk_double::Current().handle);
        {
            MutexGuard guard(m_Session.m_ChannelsLock);
            m_Session.m_Channels[0] = channel;
        }
        if (!sxtId.empty())
            AssignRelayId(channel, sxtId);
        return channel;
    }

    void AssignRelayId(CameraChannel *channel, const std::string &sxtId)
    {
        NotifyEvent request(kEventRelayRequest);
        request.fields.Set("sxtId", sxtId);
        request.fields.Set("transIp", "127.0.0.1");
        request.fields.Set("transPort", std::to_string(m_Relay.Port()));
        channel->PostRelayRequest(request);
        // The relay thread takes the request on its own schedule.
        for (int i = 0; i < 300 && channel->GetSxtId() != sxtId; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(sxtId, channel->GetSxtId());
    }

    // Sends what the alarm queued on the logic link and reads it back.
    std::string SentReport()
    {
        for (int i = 0; i < 100 && m_Session.m_LogicConn.QueuedCount() > 0; ++i)
            m_Session.m_LogicConn.PollSend(1000);
        return m_Logic.ReadText(kReadMs);
    }

    size_t Snapshots() { return sdk_double::JournalMatching("SnapJpeg 1048576").size(); }

    HttpTestServer m_Http;
    LoopbackServer m_Logic;
    LoopbackServer m_Relay;
    CServerLogic m_Session;
};

TEST_F(AlarmReport, OneAlarmInThirtySecondsIsReported)
{
    AddChannel("abc");
    unsigned char none = 0;

    EXPECT_EQ(0, AlarmDataCallback(7, 5, &none, 1, &m_Session)); // not an alarm type
    EXPECT_EQ(0u, Snapshots());

    EXPECT_EQ(0, AlarmDataCallback(7, 0, &none, 1, &m_Session)); // motion
    int32_t first = m_Session.m_AlarmTime;
    EXPECT_EQ(1u, Snapshots());
    std::string picture = SnapshotName("abc", first);
    EXPECT_EQ(ReportText(kMotionGbk, "abc", picture), SentReport());
    ASSERT_TRUE(m_Http.WaitDone(1, kReadMs));
    std::vector<HttpExchange> seen = m_Http.Exchanges();
    EXPECT_NE(std::string::npos, seen[0].body.find("filename=\"" + picture + "\"\r\n"));
    const std::vector<unsigned char> &jpeg = sdk_double::Current().jpeg;
    EXPECT_NE(std::string::npos, seen[0].body.find(std::string(jpeg.begin(), jpeg.end())));

    AdvanceClockMs(10000);
    AlarmDataCallback(7, 0, &none, 1, &m_Session);
    EXPECT_EQ(1u, Snapshots());
    EXPECT_EQ(first, m_Session.m_AlarmTime);
    EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount());

    AdvanceClockMs(21000);                         // 31 s after the first
    AlarmDataCallback(7, 1, &none, 1, &m_Session); // alarm input
    EXPECT_EQ(2u, Snapshots());
    EXPECT_EQ(ReportText(kInputGbk, "abc", SnapshotName("abc", m_Session.m_AlarmTime)), SentReport());
    EXPECT_EQ(2u, m_Http.Connections());

    EXPECT_EQ(0, AlarmEventCallback(7, 0, &none, 1, &m_Session));
}

TEST_F(AlarmReport, ThirtySecondsSpaceAlarmsWhateverTheClockSteps)
{
    AddChannel("abc");
    // Time is counted so that it reads 5 s now: "no alarm yet" is not a
    // time of 0, so the first alarm passes all the same.
    SetClockOffsetMs(static_cast<int32_t>(5000u - static_cast<uint32_t>(MonotonicNowMs())));
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots());
    SentReport();
    // A relay server whose clock lags sets the camera's back 3 s every
    // second, and the camera raises an alarm after each step: still one
    // alarm in 30 s, the one 30.5 s after the first. Each step moves the
    // clock only up to its own second and a half: the time this thread
    // spends on the way, which on a slow machine could add up to half a
    // second over the steps, does not pile up.
    const int32_t first = m_Session.m_AlarmMonotonicTime;
    int32_t wallAtSecond = 0;
    for (int second = 1; second <= 40; ++second) {
        int32_t ahead = static_cast<int32_t>(ElapsedMs(first + 500 + 1000 * second, MonotonicNowMs()));
        if (ahead > 0)
            AdvanceClockMs(ahead);
        StepWallClockMs(-3000);
        m_Session.ReportAlarm(kAlarmMotion);
        EXPECT_EQ(second < 30 ? 1u : 2u, Snapshots()) << second;
        if (second == 30)
            wallAtSecond = NowMs();
    }
    // The snapshot is still named for the wall clock's reading.
    EXPECT_LT(AbsDiffMs(wallAtSecond, m_Session.m_AlarmTime), 1000u);
    EXPECT_EQ(ReportText(kMotionGbk, "abc", SnapshotName("abc", m_Session.m_AlarmTime)), SentReport());
}

TEST_F(AlarmReport, IgnoredAlarmsDoNotCountForTheSpacing)
{
    // No channel.
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(0u, Snapshots());

    // A channel without a relay id yet.
    CameraChannel *channel = AddChannel("");
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(0u, Snapshots());

    // Logic link down.
    AssignRelayId(channel, "abc");
    m_Session.m_LogicConn.Close();
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(0u, Snapshots());
    EXPECT_EQ(0, m_Session.m_AlarmTime);

    // None of them counted: the next alarm goes through at once.
    ConnectLogicLink();
    AdvanceClockMs(1000);
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots());
    EXPECT_EQ(ReportText(kMotionGbk, "abc", SnapshotName("abc", m_Session.m_AlarmTime)), SentReport());
}

TEST_F(AlarmReport, FailedSnapshotOrUploadSendsNoReportButCounts)
{
    AddChannel("abc");

    sdk_double::Current().snapResult = -1;
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots());
    EXPECT_EQ(0u, m_Http.Connections());
    AdvanceClockMs(10000);
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots()); // the failed one counted

    // An upload URL without a port fails before connecting.
    sdk_double::Current().snapResult = 0;
    AgentSettings::instance().m_UploadUrl.Set("http://127.0.0.1/up");
    AdvanceClockMs(21000);
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(2u, Snapshots());
    EXPECT_EQ(0u, m_Http.Connections());
    EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount());
}

TEST_F(AlarmReport, RefusedUploadSendsNoReport)
{
    HttpAnswer refusing;
    refusing.final = "HTTP/1.1 500 Internal Server Error\r\n\r\n";
    HttpTestServer refuser(refusing);
    AgentSettings::instance().m_UploadUrl.Set(refuser.Url());
    AddChannel("abc");

    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots());
    ASSERT_TRUE(refuser.WaitDone(1, kReadMs));
    EXPECT_TRUE(refuser.Exchanges()[0].complete);
    EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount());
}

TEST_F(AlarmReport, TextsTooLongForTheirBuffersAreNeitherSentNorCut)
{
    // A relay id too long for the file name: no upload, no report.
    AddChannel(std::string(118, 'i'));
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(1u, Snapshots());
    EXPECT_EQ(0u, m_Http.Connections());
    EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount());

    // Identifiers too long for the report: uploaded, but no report.
    AssignRelayId(m_Session.FirstChannel(), "abc");
    AgentSettings::instance().m_NodeName.Set(std::string(300, 'n'));
    AdvanceClockMs(31000);
    m_Session.ReportAlarm(kAlarmMotion);
    EXPECT_EQ(2u, Snapshots());
    ASSERT_TRUE(m_Http.WaitDone(1, kReadMs));
    EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount());
}

TEST_F(AlarmReport, SnapshotTooLargeForTheUploadSlotIsRefusedWithTheSlotLineAndNoReport)
{
    AddChannel("abc");
    // Framing (124 bytes) and the part header line (56 and the file name)
    // come on top of the snapshot.
    const size_t framing = 124 + 56 + SnapshotName("abc", NowMs()).size();
    // Just over the slot, and the largest snapshot the SDK hands over,
    // whose body needs a 7-digit Content-Length.
    for (size_t size : {524288 - framing + 1, size_t(1048576)}) {
        sdk_double::Current().jpeg.assign(size, 0xD8);
        AdvanceClockMs(31000);
        testing::internal::CaptureStdout();
        m_Session.ReportAlarm(kAlarmMotion);
        std::string console = testing::internal::GetCapturedStdout();
        size_t body = 124 + 56 + SnapshotName("abc", m_Session.m_AlarmTime).size() + size;
        EXPECT_NE(std::string::npos, console.find("GetWriteBuffer is null  mean no packet! now size 524288 ! need size " +
                                                  std::to_string(body) + "\n"))
            << console;
        EXPECT_EQ(std::string::npos, console.find("HttpPostFile")) << size;
        EXPECT_EQ(0u, m_Session.m_LogicConn.QueuedCount()) << size;
    }
}
