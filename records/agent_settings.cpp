#include "records/agent_settings.h"

AgentSettings &AgentSettings::instance()
{
    // Guarded one-time creation; destroyed by the registered exit clean-up.
    static AgentSettings settings;
    return settings;
}

AgentSettings::AgentSettings()
    : m_LogicServerPort(0), m_ChannelCount(0), m_EnableQP(1), m_ViedoQP(4), m_PTZ(0), m_Audio(0),
      m_SetTime(1), m_Speak(0)
{
}

void AgentSettings::ResetForTest()
{
    m_LogicServerIp.clear();
    m_LogicServerPort = 0;
    m_Version.clear();
    m_SysTime.clear();
    m_UpdateUrl.clear();
    m_UploadUrl.Set("");
    m_UserId.Set("");
    m_NodeId.Set("");
    m_NodeName.Set("");
    m_UserName.clear();
    m_Password.clear();
    m_ChannelCount = 0;
    {
        MutexGuard guard(m_DevLock);
        m_DevId.clear();
        m_DevIp.clear();
    }
    m_EnableQP = 1;
    m_ViedoQP = 4;
    m_PTZ = 0;
    m_Audio = 0;
    m_SetTime = 1;
    m_Speak = 0;
}
