// The status block printed on SIGUSR1, from the record the threads keep.
// Time moves through the clock seam.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "records/agent_status.h"
#include "app/status_report.h"
#include "runtime/clock.h"
#include "tests/support/text_lines.h"

namespace {

int32_t Now() { return MonotonicNowMs(); }

class StatusReportTest : public ::testing::Test {
protected:
    void SetUp() override { SetClockOffsetMs(0); }
    void TearDown() override { SetClockOffsetMs(0); }
};

TEST_F(StatusReportTest, FreshRecordShowsDashesForWhatNeverHappened)
{
    AgentStatus status(Now());
    AdvanceClockMs(65000);
    StepWallClockMs(-3600000);  // NTP or the relay server: ages stay as they were
    EXPECT_EQ("cloud-agent status\n"
              "uptime: 65 s\n"
              "logic: disconnected - since 65 s, last message - s ago, heartbeats 0, logins 0\n"
              "channel 0: relay unassigned - id - since 65 s, forwarding off, quality 4, frames 0 sent "
              "0 dropped, last key frame - s ago, commands 0 done 0 skipped, uplink 0 frames dropped, 0 key frames asked, "
              "last frame sent after - ms, 0 kbit/s measured\n"
              "alarms: 0 seen, 0 rate-limited, 0 uploaded, 0 reported, last upload none\n"
              "discovery: 0 answers, 0 probes unanswered\n",
              FormatStatusReport(status, Now(), 1, 4));
}

TEST_F(StatusReportTest, CountsStatesAndAgesOfAWorkingAgent)
{
    AgentStatus status(Now());
    LogicStatus &logic = status.m_Logic;
    logic.SetServer("127.0.0.1", 41197);
    AdvanceClockMs(2000);
    logic.m_Link.Up();
    EXPECT_EQ(1, logic.CountLogin(1));
    EXPECT_EQ(0, logic.CountLogin(0)); // not queued: not counted
    logic.CountHeartbeat(1);
    logic.CountHeartbeat(1);

    ChannelStatus &channel = status.Channel(0);
    channel.SetRelay("cam-0001", "192.0.2.9", "7000");
    channel.m_Relay.Up();
    channel.SetForwarding(true);
    channel.CountFrame(true, true);
    channel.CountFrame(true, false);
    channel.CountFrame(false, true); // dropped: no key frame sent
    Count(channel.m_CommandsDone);
    Count(channel.m_CommandsSkipped);
    channel.m_UplinkDropped.store(7);
    channel.m_LastFrameDelayMs.store(450);
    channel.m_UplinkRate.store(12000); // bytes a second
    channel.m_KeyFramesAsked.store(3);

    AlarmStatus &alarms = status.m_Alarms;
    Count(alarms.m_Seen);
    alarms.NoteUpload(true);
    Count(alarms.m_Reported);
    Count(alarms.m_Seen);
    Count(alarms.m_RateLimited);
    Count(status.m_DiscoveryAnswers);
    Count(status.m_DiscoveryUnanswered);
    Count(status.m_DiscoveryUnanswered);

    AdvanceClockMs(7000);
    logic.NoteMessage();
    AdvanceClockMs(3000);
    std::vector<std::string> lines = Lines(FormatStatusReport(status, Now(), 1, 2));
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("uptime: 12 s", lines[1]);
    EXPECT_EQ("logic: connected 127.0.0.1:41197 since 10 s, last message 3 s ago, heartbeats 2, logins 1",
              lines[2]);
    EXPECT_EQ("channel 0: relay connected 192.0.2.9:7000 id cam-0001 since 10 s, forwarding on, quality 2, "
              "frames 2 sent 1 dropped, last key frame 10 s ago, commands 1 done 1 skipped, uplink 7 frames dropped, 3 key frames asked, "
              "last frame sent after 450 ms, 96 kbit/s measured",
              lines[3]);
    EXPECT_EQ("alarms: 2 seen, 1 rate-limited, 1 uploaded, 1 reported, last upload ok", lines[4]);
    EXPECT_EQ("discovery: 1 answers, 2 probes unanswered", lines[5]);

    // A failed upload is what the last upload says, and is not counted.
    alarms.NoteUpload(false);
    EXPECT_EQ("alarms: 2 seen, 1 rate-limited, 1 uploaded, 1 reported, last upload failed",
              Lines(FormatStatusReport(status, Now(), 1, 2))[4]);
}

TEST_F(StatusReportTest, SinceMovesOnlyWhenTheStateChangesOrTheLinkComesUpAgain)
{
    AgentStatus status(Now());
    ChannelStatus &channel = status.Channel(0);
    channel.SetRelay("cam-0001", "192.0.2.9", "7000");
    channel.m_Relay.Up();
    AdvanceClockMs(4000);
    channel.NoteRelayDown(true); // the link dropped
    AdvanceClockMs(5000);
    channel.NoteRelayDown(true); // still down on the next pass: since stays
    EXPECT_NE(std::string::npos,
              Lines(FormatStatusReport(status, Now(), 1, 4))[3].find("relay disconnected 192.0.2.9:7000 "
                                                                       "id cam-0001 since 5 s,"));
    channel.m_Relay.Up();
    AdvanceClockMs(3000);
    channel.m_Relay.Up(); // dropped and back within one pass: a new link
    AdvanceClockMs(1000);
    EXPECT_NE(std::string::npos,
              Lines(FormatStatusReport(status, Now(), 1, 4))[3].find("relay connected 192.0.2.9:7000 "
                                                                       "id cam-0001 since 1 s,"));
    channel.SetRelay("", "", "");
    channel.NoteRelayDown(false);
    EXPECT_NE(std::string::npos,
              Lines(FormatStatusReport(status, Now(), 1, 4))[3].find("relay unassigned - id - since 0 s,"));
}

TEST_F(StatusReportTest, ServerTextsStayOnOneShortLine)
{
    AgentStatus status(Now());
    std::string longId(100, 'x');
    status.Channel(0).SetRelay("cam 1\n", "relay\r\nhost", "7000");
    status.Channel(1).SetRelay(longId, "h", "1");
    // Indexes past the record's channels share a spare that is never shown.
    status.Channel(kMaxStatusChannels).SetRelay("spare", "h", "1");
    std::vector<std::string> lines = Lines(FormatStatusReport(status, Now(), kMaxStatusChannels + 3, 4));
    ASSERT_EQ(5u + kMaxStatusChannels, lines.size());
    EXPECT_NE(std::string::npos, lines[3].find("relay unassigned relay??host:7000 id cam?1? since"));
    EXPECT_NE(std::string::npos, lines[4].find(" id " + std::string(64, 'x') + "... since"));
    for (const std::string &line : lines)
        EXPECT_EQ(std::string::npos, line.find("spare"));
}

} // namespace
