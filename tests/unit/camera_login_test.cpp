// The camera login: device id search over a presented interface list, the
// SDK login and what it publishes, and the logout.
#include <gtest/gtest.h>

#include <map>

#include "records/agent_settings.h"
#include "logic/interface_query.h"
#include "logic/server_logic.h"
#include "tests/support/sdk_double.h"

namespace {
struct FakeInterface {
    std::string name;
    unsigned int flags;
    bool hasHardware;
    unsigned char mac[6];
};

class FakeInterfaces : public IInterfaceQuery {
public:
    explicit FakeInterfaces(std::vector<FakeInterface> list) : m_List(std::move(list)) {}
    bool List(std::vector<std::string> *names) override
    {
        for (const FakeInterface &i : m_List)
            names->push_back(i.name);
        return true;
    }
    bool Flags(const std::string &name, unsigned int *flags) override
    {
        *flags = Find(name).flags;
        return true;
    }
    bool HardwareAddress(const std::string &name, unsigned char mac[6]) override
    {
        const FakeInterface &i = Find(name);
        memcpy(mac, i.mac, 6);
        return i.hasHardware;
    }

private:
    const FakeInterface &Find(const std::string &name)
    {
        for (const FakeInterface &i : m_List)
            if (i.name == name)
                return i;
        return m_List.front();
    }
    std::vector<FakeInterface> m_List;
};

const FakeInterface kLo = {"lo", kInterfaceLoopbackFlag, true, {0, 0, 0, 0, 0, 0}};
const FakeInterface kWlan0 = {"wlan0", 0, true, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};
const FakeInterface kEth0 = {"eth0", 0, true, {0x0A, 0xFF, 0x00, 0x01, 0xab, 0x9c}};
const FakeInterface kEth1 = {"eth1", 0, true, {0x02, 0x00, 0x00, 0x00, 0x00, 0x01}};
const FakeInterface kEthNoHw = {"eth2", 0, false, {0, 0, 0, 0, 0, 0}};

class CameraLogin : public ::testing::Test {
protected:
    void SetUp() override
    {
        sdk_double::Reset();
        AgentSettings::instance().ResetForTest();
        AgentSettings::instance().m_UserName = "admin";
        AgentSettings::instance().m_Password = "secret";
    }
    void TearDown() override { AgentSettings::instance().ResetForTest(); }
};
}  // namespace

TEST_F(CameraLogin, FirstInterfaceNamedEWinsAndCandidatesAreNumbered)
{
    FakeInterfaces interfaces({kLo, kWlan0, kEthNoHw, kEth0, kEth1});
    std::string mac;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(FindDeviceMac(interfaces, &mac));
    EXPECT_EQ("1,Interface name : wlan0 , Mac address : 02:11:22:33:44:55 \n"
              "2,Interface name : eth0 , Mac address : 0A:FF:00:01:AB:9C \n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ("0A:FF:00:01:AB:9C", mac);

    FakeInterfaces eth1First({kEth1, kEth0});
    testing::internal::CaptureStdout();
    ASSERT_TRUE(FindDeviceMac(eth1First, &mac));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("02:00:00:00:00:01", mac);
}

TEST_F(CameraLogin, NoUsableInterfaceFailsWithoutTouchingTheSdk)
{
    FakeInterfaces onlyLoopback({kLo, kWlan0});
    CServerLogic session;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, session.LoginSdk(onlyLoopback));
    EXPECT_EQ(0, session.LoginDev(onlyLoopback));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("get mac info error\n"));
    EXPECT_NE(std::string::npos, out.find("CServerLogic Login Dev false\n"));
    EXPECT_TRUE(sdk_double::Journal().empty());
    EXPECT_EQ("", AgentSettings::instance().m_DevId);
}

TEST_F(CameraLogin, SdkLoginPublishesDeviceFieldsAndRegistersCallbacks)
{
    sdk_double::Settings camera;
    camera.deviceAddress = "192.0.2.77";
    camera.ptzByte = '0';
    sdk_double::Reset(camera);
    FakeInterfaces interfaces({kLo, kEth0});
    CServerLogic session;
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, session.LoginSdk(interfaces));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("find MAC  \n"));
    EXPECT_NE(std::string::npos, out.find("HI_NET_DEV_Login HI_SUCCESS\n"));

    AgentSettings &s = AgentSettings::instance();
    EXPECT_EQ("0A:FF:00:01:AB:9C", s.m_DevId);
    EXPECT_EQ("192.0.2.77", s.m_DevIp);
    EXPECT_EQ(1, s.m_PTZ);
    EXPECT_EQ(camera.handle, session.m_hDev);
    std::vector<std::string> expected = {"Login admin secret 127.0.0.1 80", "GetConfig 4114 248",
                                         "GetConfig 4096 64", "SetReconnect 1000", "SetDataCallBack",
                                         "SetEventCallBack"};
    EXPECT_EQ(expected, sdk_double::Journal());
    EXPECT_EQ(&session, sdk_double::DataUserData());
    session.m_hDev = 0;  // nothing to log out in the double
}

TEST_F(CameraLogin, PanTiltIsSupportedOnlyForTheCharacterZero)
{
    for (char mark : {'1', '\0', 'x'}) {
        sdk_double::Settings camera;
        camera.ptzByte = mark;
        sdk_double::Reset(camera);
        AgentSettings::instance().m_PTZ = 1;
        FakeInterfaces interfaces({kEth0});
        CServerLogic session;
        testing::internal::CaptureStdout();
        EXPECT_EQ(1, session.LoginSdk(interfaces));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(0, AgentSettings::instance().m_PTZ) << int(mark);
    }
}

TEST_F(CameraLogin, RefusedSdkLoginFailsTheLogin)
{
    sdk_double::Settings camera;
    camera.loginResult = -1;
    sdk_double::Reset(camera);
    FakeInterfaces interfaces({kEth0});
    CServerLogic session;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, session.LoginDev(interfaces));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("HI_NET_DEV_Login FALSE\nCServerLogic Login Dev false\n"));
    EXPECT_TRUE(session.m_Channels.empty());
}

TEST_F(CameraLogin, LogoutWithoutHandleOnlyPrints)
{
    CServerLogic session;
    testing::internal::CaptureStdout();
    session.LogoutDev();
    EXPECT_EQ("Logout Dev \n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(sdk_double::Journal().empty());
}

TEST_F(CameraLogin, LoginCreatesOneChannelPerIndexAndLogoutDestroysThem)
{
    AgentSettings::instance().m_ChannelCount = 1;
    FakeInterfaces interfaces({kEth0});
    CServerLogic session;
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, session.LoginDev(interfaces));
    ASSERT_EQ(1u, session.m_Channels.size());
    EXPECT_EQ(0, session.m_Channels.begin()->first);
    EXPECT_EQ(session.m_Channels.begin()->second, session.FirstChannel());
    // The channel starts the camera's sub stream at once.
    EXPECT_FALSE(sdk_double::JournalMatching("StartStream channel=1 stream=0").empty());
    session.LogoutDev();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(session.m_Channels.empty());
    std::vector<std::string> logout = sdk_double::JournalMatching("Logout ");
    ASSERT_EQ(1u, logout.size());
    EXPECT_EQ("Logout " + std::to_string(sdk_double::Current().handle), logout[0]);
    EXPECT_EQ("StopStream", sdk_double::Journal().back());
}
