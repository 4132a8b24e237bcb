#include <string.h>

#include "records/agent_settings.h"
#include "logic/alarm_report.h"
#include "logic/interface_query.h"
#include "logic/server_logic.h"
#include "runtime/console.h"
#include "runtime/netlib.h"
#include "runtime/sdk_records.h"

namespace {
const char kCameraHost[] = "127.0.0.1";
const unsigned short kCameraPort = 80;
const unsigned int kSdkReconnectMs = 1000;
}  // namespace

int CServerLogic::LoginDev()
{
    SystemInterfaceQuery query;
    return LoginDev(query);
}

int CServerLogic::LoginDev(IInterfaceQuery &query)
{
    if (LoginSdk(query) != 1) {
        ConsolePrint("CServerLogic Login Dev false\n");
        return 0;
    }
    int32_t count = AgentSettings::instance().m_ChannelCount;
    for (int32_t i = 0; i < count; ++i) {
        // Built outside the lock: construction talks to the SDK.
        CameraChannel *channel = new CameraChannel(this, i, m_hDev);
        CameraChannel *replaced = nullptr;
        {
            MutexGuard guard(m_ChannelsLock);
            std::map<int32_t, CameraChannel *>::iterator found = m_Channels.find(i);
            if (found != m_Channels.end())
                replaced = found->second;
            m_Channels[i] = channel;
        }
        if (replaced != nullptr) {
            replaced->StopSdkStream();
            delete replaced;
        }
    }
    return 1;
}

int CServerLogic::LoginSdk()
{
    SystemInterfaceQuery query;
    return LoginSdk(query);
}

int CServerLogic::LoginSdk(IInterfaceQuery &query)
{
    std::string mac;
    if (!FindDeviceMac(query, &mac))
        return -1;
    ConsolePrint("find MAC  \n");

    AgentSettings &settings = AgentSettings::instance();
    if (HI_NET_DEV_Login(&m_hDev, settings.m_UserName.c_str(), settings.m_Password.c_str(), kCameraHost,
                         kCameraPort) != 0) {
        ConsolePrint("HI_NET_DEV_Login FALSE\n");
        return 0;
    }
    char address[kSdkDeviceAddressSize];
    unsigned char info[kSdkDeviceInfoSize];
    memset(address, 0, sizeof(address));
    memset(info, 0, sizeof(info));
    HI_NET_DEV_GetConfig(m_hDev, kSdkConfigDeviceAddress, address, sizeof(address));
    HI_NET_DEV_GetConfig(m_hDev, kSdkConfigDeviceInfo, info, sizeof(info));
    // The SDK's text need not be terminated: the last byte stays zero.
    address[sizeof(address) - 1] = '\0';

    settings.m_PTZ = info[kSdkDeviceInfoPtzByte] == '0' ? 1 : 0;
    {
        MutexGuard guard(settings.m_DevLock);
        settings.m_DevId = mac;
        settings.m_DevIp = address;
    }
    HI_NET_DEV_SetReconnect(m_hDev, kSdkReconnectMs);
    HI_NET_DEV_SetDataCallBack(m_hDev, AlarmDataCallback, this);
    HI_NET_DEV_SetEventCallBack(m_hDev, AlarmEventCallback, this);
    ConsolePrint("HI_NET_DEV_Login HI_SUCCESS\n");
    return 1;
}

void CServerLogic::LogoutDev()
{
    if (m_hDev != 0)
        HI_NET_DEV_Logout(m_hDev);
    ConsolePrint("Logout Dev \n");
    std::map<int32_t, CameraChannel *> channels;
    {
        MutexGuard guard(m_ChannelsLock);
        channels.swap(m_Channels);
    }
    for (std::map<int32_t, CameraChannel *>::iterator it = channels.begin(); it != channels.end(); ++it) {
        if (it->second == nullptr)
            continue;
        it->second->StopSdkStream();
        delete it->second;
    }
}
