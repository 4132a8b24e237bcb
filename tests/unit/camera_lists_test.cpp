// Camera assignment lists turned into relay requests for the session's
// channels; what each channel receives is seen at in-test relay servers.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "records/agent_settings.h"
#include "logic/server_logic.h"
#include "tests/component/relay_helpers.h"
#include "tests/support/loopback_server.h"
#include "tests/support/sdk_double.h"

using namespace relay_test;

namespace {

const char kIp[] = "127.0.0.1";

MessageFields Lists(const std::string &ids, const std::string &indexes, const std::string &hosts,
                    const std::string &ports)
{
    MessageFields fields;
    fields.Set("cameraIdList", ids);
    fields.Set("cameraIndexList", indexes);
    fields.Set("transIpList", hosts);
    fields.Set("transPortList", ports);
    return fields;
}

class CameraListsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_double::Reset();
        AgentSettings::instance().ResetForTest();
        logic.reset(new CServerLogic());
        AddChannel(0);
    }
    void TearDown() override
    {
        std::map<int32_t, CameraChannel *> channels;
        {
            MutexGuard guard(logic->m_ChannelsLock);
            channels.swap(logic->m_Channels);
        }
        for (auto &entry : channels) {
            if (entry.second != nullptr) {
                entry.second->StopSdkStream();
                delete entry.second;
            }
        }
        logic.reset();
    }
    CameraChannel *AddChannel(int32_t index, bool null = false)
    {
        CameraChannel *channel = null ? nullptr : new CameraChannel(logic.get(), index, 7);
        MutexGuard guard(logic->m_ChannelsLock);
        logic->m_Channels[index] = channel;
        return channel;
    }
    // Camera states the channels reported to the session, as "id=active".
    std::vector<std::string> States()
    {
        std::vector<std::string> states;
        MutexGuard guard(logic->m_EventLock);
        for (const NotifyEvent &event : logic->m_EventQueue)
            states.push_back(event.fields.Get("cameraId") + "=" + event.fields.Get("active"));
        return states;
    }
    bool StatesReach(size_t count)
    {
        return Eventually([&] { return States().size() >= count; });
    }
    static std::string PortOf(LoopbackServer &relay) { return std::to_string(relay.Port()); }

    std::unique_ptr<CServerLogic> logic;
    LoopbackServer relayA;
    LoopbackServer relayB;
};

TEST_F(CameraListsTest, ListedChannelIsAssignedItsRelay)
{
    logic->ApplyCameraLists(Lists("c1", "0", kIp, PortOf(relayA)));
    ASSERT_TRUE(relayA.Accept(3000));
    EXPECT_EQ(LoginFor("c1"), relayA.ReadText(3000));
    ASSERT_TRUE(StatesReach(1));
    EXPECT_EQ(std::vector<std::string>{"c1=1"}, States());
}

TEST_F(CameraListsTest, PositionsNamingNoChannelAreSkipped)
{
    AddChannel(2, true);
    // A trailing ';' on every list adds one empty position, which is skipped too.
    std::string b = PortOf(relayB);
    logic->ApplyCameraLists(Lists("c1;c2;c3;c4;", "0;1;2;-1;", "127.0.0.1;127.0.0.1;127.0.0.1;127.0.0.1;",
                                  PortOf(relayA) + ";" + b + ";" + b + ";" + b + ";"));
    ASSERT_TRUE(relayA.Accept(3000));
    EXPECT_EQ(LoginFor("c1"), relayA.ReadText(3000));
    EXPECT_FALSE(relayB.Accept(300));
    EXPECT_EQ(std::vector<std::string>{"c1=1"}, States());
}

TEST_F(CameraListsTest, RequestsReachAChannelInListOrder)
{
    logic->ApplyCameraLists(Lists("c1;c2", "0;0", "127.0.0.1;127.0.0.1", PortOf(relayA) + ";" + PortOf(relayB)));
    ASSERT_TRUE(relayA.Accept(3000));
    EXPECT_EQ(LoginFor("c1"), relayA.ReadText(3000));
    ASSERT_TRUE(relayB.Accept(3000));
    EXPECT_EQ(LoginFor("c2"), relayB.ReadText(3000));
    ASSERT_TRUE(StatesReach(2));
    EXPECT_EQ((std::vector<std::string>{"c1=1", "c2=1"}), States());
}

TEST_F(CameraListsTest, ListsThatDoNotLineUpPostNothing)
{
    std::string a = PortOf(relayA);
    logic->ApplyCameraLists(Lists("bad1;bad2", "0;0", kIp, a + ";" + a));    // one list too short
    logic->ApplyCameraLists(Lists("bad3;", "0;", kIp, a));                 // trailing ';' on some only
    logic->ApplyCameraLists(MessageFields());                               // no lists at all
    logic->ApplyCameraLists(Lists("bad4", "", kIp, a));                     // empty index
    // Requests are taken in order, so the first login shows whether any
    // of the above was posted.
    logic->ApplyCameraLists(Lists("sentinel", "0", kIp, a));
    ASSERT_TRUE(relayA.Accept(3000));
    EXPECT_EQ(LoginFor("sentinel"), relayA.ReadText(3000));
    ASSERT_TRUE(StatesReach(1));
    EXPECT_EQ(std::vector<std::string>{"sentinel=1"}, States());
}

TEST_F(CameraListsTest, IndexesReadAsDecimalAndValuesPassUnchanged)
{
    AddChannel(1);
    std::string a = PortOf(relayA);
    logic->ApplyCameraLists(Lists("a; b;c", "x; 0;1a", "127.0.0.1;127.0.0.1;127.0.0.1",
                                  a + ";" + a + ";" + PortOf(relayB)));
    ASSERT_TRUE(relayB.Accept(3000));
    EXPECT_EQ(LoginFor("c"), relayB.ReadText(3000));
    ASSERT_TRUE(relayA.Accept(3000));
    std::string first = relayA.ReadText(3000);
    ASSERT_TRUE(relayA.Accept(3000));
    EXPECT_EQ(LoginFor("a"), first);
    EXPECT_EQ(LoginFor(" b"), relayA.ReadText(3000));
}

}  // namespace
