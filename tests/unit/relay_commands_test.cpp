// Relay commands carried out on a channel's command thread, and the SDK
// calls they make.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "records/agent_settings.h"
#include "channel/camera_channel.h"
#include "runtime/clock.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/sdk_double.h"

using namespace relay_test;

namespace {

// A full backlog drains at the command thread's own pace, 100 ms a command:
// 3.2 s. Waits for that are bounded only to catch a hang; under emulation
// on a loaded machine the pace stretches, and these tests check what is
// carried out, not how fast.
const int kBacklogDrainGuardMs = 30000;

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
        m_Release.store(true);
        if (channel) {
            channel->StopSdkStream();
            channel.reset();
        }
        SetClockOffsetMs(0);
    }
    bool JournalReaches(size_t lines)
    {
        return Eventually([&] { return sdk_double::Journal().size() >= lines; });
    }

    // Holds the command thread inside a quality change until
    // ReleaseCommandThread, so that a burst sent meanwhile meets a backlog
    // that nothing drains, whatever the threads' timing.
    void HoldCommandThread()
    {
        sdk_double::Current().onSetConfig = [this](unsigned int command) {
            if (command == 4100 && !m_Held.exchange(true))
                Eventually([this] { return m_Release.load(); }, kBacklogDrainGuardMs);
        };
        ReceiveText(*channel, RelayText(16, "\"ViedoQP\":\"2\""));
        ASSERT_TRUE(Eventually([this] { return m_Held.load(); }));
    }
    void ReleaseCommandThread() { m_Release.store(true); }

    std::unique_ptr<CameraChannel> channel;
    std::atomic<bool> m_Held{false};
    std::atomic<bool> m_Release{false};
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

TEST_F(RelayCommandsTest, ABurstSkipsOnlyOlderPtzMovementsAndKeepsTheLastOfEveryKind)
{
    const std::string left = RelayText(9, "\"PTZCommand\":\"1\"");
    const std::string right = RelayText(9, "\"PTZCommand\":\"5\"");
    ReceiveText(*channel, RelayText(2));
    for (int i = 0; i < 40; ++i)
        ReceiveText(*channel, left);
    ReceiveText(*channel, RelayText(16, "\"ViedoQP\":\"2\""));
    // Types the command thread ignores take no place in the backlog.
    for (int i = 0; i < 40; ++i) {
        ReceiveText(*channel, RelayText(0));
        ReceiveText(*channel, RelayText(1));
        ReceiveText(*channel, RelayText(44));
    }
    for (int i = 0; i < 40; ++i)
        ReceiveText(*channel, right);
    ReceiveText(*channel, RelayText(3));
    EXPECT_LE(channel->PendingCommandCount(), 32u);
    // One command every 100 ms: the stop, last of 32, comes about 3.2 s on.
    EXPECT_TRUE(Eventually([&] { return channel->PendingCommandCount() == 0; }, kBacklogDrainGuardMs));
    ASSERT_TRUE(Eventually([&] { return !channel->IsForwarding(); }, 500));

    std::vector<std::string> journal = sdk_double::Journal();
    ASSERT_GE(journal.size(), 6u);
    EXPECT_EQ("MakeKeyFrame 12", journal[0]);
    EXPECT_EQ("SetConfig 4100 1,1,400,12,100,0,3", journal[2]);
    // The older movements gave way to the newer ones, never to the rest.
    size_t moves = 0;
    for (size_t i = 5; i < journal.size(); ++i) {
        EXPECT_EQ("PTZ 12293", journal[i]);
        ++moves;
    }
    EXPECT_GE(moves, 29u);
}

TEST_F(RelayCommandsTest, ABurstEndingInAQualityChangeAppliesIt)
{
    // Held while the burst arrives, the thread always meets the same full
    // backlog: the 9 oldest of the 40 movements give way, the change stays.
    HoldCommandThread();
    for (int i = 0; i < 40; ++i)
        ReceiveText(*channel, RelayText(9, "\"PTZCommand\":\"1\""));
    ReceiveText(*channel, RelayText(16, "\"ViedoQP\":\"5\""));
    EXPECT_EQ(kMaxQueuedCommands, channel->PendingCommandCount());
    ReleaseCommandThread();
    ASSERT_TRUE(Eventually([&] { return AgentSettings::instance().m_ViedoQP.load() == 5; }, kBacklogDrainGuardMs));
    EXPECT_EQ(1u, sdk_double::JournalMatching("SetConfig 4100 1,0,80,8,100,1,6").size());
    EXPECT_EQ(31u, sdk_double::JournalMatching("PTZ").size());
}

TEST_F(RelayCommandsTest, APtzCommandBehindAFloodOfStatusQueriesIsStillCarriedOut)
{
    // Held while the burst arrives, so the whole burst meets a full backlog.
    HoldCommandThread();
    ReceiveText(*channel, RelayText(9, "\"PTZCommand\":\"0\""));  // the stop
    for (int i = 0; i < 40; ++i)
        ReceiveText(*channel, RelayText(17));
    EXPECT_EQ(kMaxQueuedCommands, channel->PendingCommandCount());
    ReleaseCommandThread();
    EXPECT_TRUE(Eventually([&] { return channel->PendingCommandCount() == 0; }, kBacklogDrainGuardMs));
    EXPECT_EQ(std::vector<std::string>{"PTZ 12288"}, sdk_double::JournalMatching("PTZ"));
}

// Milliseconds on the steady clock (plain numbers keep the ARM ABI notes
// about time_point arguments out of the build).
int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// When the SDK took each PTZ call, read on the calling thread itself: a
// test thread that looks late on a busy machine cannot shift the times.
class PtzClock {
public:
    PtzClock()
    {
        sdk_double::Current().onPtz = [this](unsigned int) {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Times.push_back(SteadyMs());
        };
    }
    ~PtzClock() { sdk_double::Current().onPtz = nullptr; }
    // The first `count` times, once there are that many (fewer after a
    // generous wait).
    std::vector<int64_t> Times(size_t count)
    {
        Eventually([&] { return Count() >= count; }, kBacklogDrainGuardMs);
        std::lock_guard<std::mutex> guard(m_Lock);
        return std::vector<int64_t>(m_Times.begin(), m_Times.begin() + std::min(count, m_Times.size()));
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Times.clear();
    }

private:
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Times.size();
    }
    std::mutex m_Lock;
    std::vector<int64_t> m_Times;
};

TEST_F(RelayCommandsTest, CommandsRunAtOnceWhenIdleAndKeepTheirSpacingAcrossClockSteps)
{
    const std::string ptz = RelayText(9, "\"PTZCommand\":\"1\"");
    PtzClock clock;
    // Idle channel: the command alone wakes the thread, each time; nothing
    // else arrives and the clock is not moved. How soon is a speed figure
    // (the idle wake-ups of tools/measure show a thread that polls), not
    // something a loaded machine lets a test bound.
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        clock.Clear();
        ReceiveText(*channel, ptz);
        ASSERT_EQ(1u, clock.Times(1).size()) << "command " << i;
    }
    clock.Clear();
    // Two commands keep 100 ms apart, and stepping the wall clock forward
    // does not shorten that, nor back stretch it.
    ReceiveText(*channel, ptz);
    ReceiveText(*channel, ptz);
    ASSERT_EQ(1u, clock.Times(1).size());
    StepWallClockMs(60000);
    ReceiveText(*channel, ptz);
    StepWallClockMs(-120000);
    ReceiveText(*channel, ptz);
    std::vector<int64_t> times = clock.Times(4);
    ASSERT_EQ(4u, times.size());
    EXPECT_GE(times[1] - times[0], 90);
    EXPECT_GE(times[2] - times[1], 90);
    // Stretched by the step back, the last would come two minutes later.
    EXPECT_LT(times[3] - times[0], kBacklogDrainGuardMs);
}

TEST_F(RelayCommandsTest, TeardownDuringAQualityChangeLeavesNoStreamPointingAtTheChannel)
{
    // The command thread is held inside the quality change while the
    // caller stops the stream and destroys the channel.
    std::atomic<bool> inChange(false);
    std::atomic<bool> destroying(false);
    sdk_double::Current().onSetConfig = [&](unsigned int command) {
        if (command != 4100)
            return;
        inChange.store(true);
        Eventually([&] { return destroying.load(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    ReceiveText(*channel, RelayText(16, "\"ViedoQP\":\"2\""));
    ASSERT_TRUE(Eventually([&] { return inChange.load(); }));
    channel->StopSdkStream();
    destroying.store(true);
    channel.reset();
    sdk_double::Current().onSetConfig = nullptr;

    std::vector<std::string> journal = sdk_double::Journal();
    size_t lastStart = 0;
    size_t lastStop = 0;
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i].compare(0, 11, "StartStream") == 0)
            lastStart = i + 1;
        if (journal[i] == "StopStream")
            lastStop = i + 1;
    }
    EXPECT_GT(lastStart, 0u);
    EXPECT_GT(lastStop, lastStart);
}

}  // namespace
