#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "records/agent_settings.h"

namespace {

// Must stay the first test of this executable: it makes the first calls.
TEST(AgentSettings, ConcurrentFirstCallsShareOneFreshRecord)
{
    std::atomic<int> ready{0};
    AgentSettings *seen[2] = {nullptr, nullptr};
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            seen[i] = &AgentSettings::instance();
        });
    }
    for (std::thread &t : threads)
        t.join();
    ASSERT_NE(nullptr, seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], &AgentSettings::instance());

    AgentSettings &s = *seen[0];
    EXPECT_EQ("", s.m_LogicServerIp);
    EXPECT_EQ(0, s.m_LogicServerPort.load());
    EXPECT_EQ("", s.m_Version);
    EXPECT_EQ("", s.m_SysTime);
    EXPECT_EQ("", s.m_UpdateUrl);
    EXPECT_EQ("", s.m_UploadUrl.Get());
    EXPECT_EQ("", s.m_UserId.Get());
    EXPECT_EQ("", s.m_NodeId.Get());
    EXPECT_EQ("", s.m_NodeName.Get());
    EXPECT_EQ("", s.m_UserName);
    EXPECT_EQ("", s.m_Password);
    EXPECT_EQ(0, s.m_ChannelCount.load());
    EXPECT_EQ("", s.m_DevId);
    EXPECT_EQ("", s.m_DevIp);
    EXPECT_EQ(1, s.m_EnableQP.load());
    EXPECT_EQ(4, s.m_ViedoQP.load());
    EXPECT_EQ(0, s.m_PTZ.load());
    EXPECT_EQ(0, s.m_Audio.load());
    EXPECT_EQ(1, s.m_SetTime.load());
    EXPECT_EQ(0, s.m_Speak.load());
}

// A writer swaps two texts of different lengths while readers copy them:
// every copy is whole, old or new.
TEST(AgentSettings, SharedTextReadersSeeWholeTexts)
{
    AgentSettings &s = AgentSettings::instance();
    const std::string first = "http://upload.example/" + std::string(300, 'a');
    const std::string second = "http://other.example/" + std::string(40, 'b');
    s.m_UploadUrl.Set(first);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!done.load()) {
                std::string copy = s.m_UploadUrl.Get();
                if (copy != first && copy != second)
                    torn.fetch_add(1);
                reads.fetch_add(1);
            }
        });
    }
    for (int i = 0; i < 20000 || reads.load() < 1000; ++i)
        s.m_UploadUrl.Set(i % 2 == 0 ? second : first);
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(0, torn.load());
    s.ResetForTest();
    EXPECT_EQ("", s.m_UploadUrl.Get());
}

} // namespace
