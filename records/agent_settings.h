#ifndef RECORDS_AGENT_SETTINGS_H
#define RECORDS_AGENT_SETTINGS_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "runtime/mutex.h"
#include "runtime/shared_text.h"

// The process-wide record of what the parts of the agent learn from each
// other. Texts with a single writing thread and no other reader are plain
// strings; texts read on SDK threads are SharedText; numbers and flags are
// atomics; the device id and address are guarded by m_DevLock.
class AgentSettings {
public:
    static AgentSettings &instance();

    std::string m_LogicServerIp; // logic thread only
    std::atomic<int32_t> m_LogicServerPort;
    std::string m_Version;   // logic thread only
    std::string m_SysTime;   // logic thread only
    std::string m_UpdateUrl; // logic thread only
    SharedText m_UploadUrl;
    SharedText m_UserId;
    SharedText m_NodeId;
    SharedText m_NodeName;
    std::string m_UserName; // written before the workers start
    std::string m_Password; // written before the workers start
    std::atomic<int32_t> m_ChannelCount;
    Mutex m_DevLock;
    std::string m_DevId; // under m_DevLock (logic thread may read alone)
    std::string m_DevIp; // under m_DevLock
    std::atomic<uint8_t> m_EnableQP;
    std::atomic<int32_t> m_ViedoQP;
    std::atomic<uint8_t> m_PTZ;
    std::atomic<uint8_t> m_Audio;
    std::atomic<uint8_t> m_SetTime;
    std::atomic<uint8_t> m_Speak;

    // Puts every field back to its initial value. For tests only: the agent
    // itself never resets the record.
    void ResetForTest();

private:
    AgentSettings();
    AgentSettings(const AgentSettings &) = delete;
    AgentSettings &operator=(const AgentSettings &) = delete;
};

#endif
