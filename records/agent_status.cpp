#include "records/agent_status.h"

#include <stdio.h>

#include "runtime/clock.h"

void TimeMark::Mark(int32_t now)
{
    m_At.store(now, std::memory_order_relaxed);
    m_Set.store(true, std::memory_order_release);
}

bool TimeMark::Get(int32_t *at) const
{
    if (!m_Set.load(std::memory_order_acquire))
        return false;
    *at = m_At.load(std::memory_order_relaxed);
    return true;
}

void LinkStatus::Set(LinkState state)
{
    if (m_State.exchange(state, std::memory_order_relaxed) != state)
        m_Since.Mark(MonotonicNowMs());
}

void LinkStatus::Up()
{
    m_State.store(kLinkConnected, std::memory_order_relaxed);
    m_Since.Mark(MonotonicNowMs());
}

void LinkStatus::Reset(LinkState state)
{
    m_State.store(state, std::memory_order_relaxed);
    m_Since.Mark(MonotonicNowMs());
}

void LogicStatus::SetServer(const std::string &host, int32_t port)
{
    char text[16];
    snprintf(text, sizeof(text), ":%d", static_cast<int>(port));
    m_Server.Set(host + text);
}

void LogicStatus::NoteMessage()
{
    m_LastMessage.Mark(MonotonicNowMs());
}

int LogicStatus::CountHeartbeat(int queued)
{
    if (queued != 0)
        Count(m_Heartbeats);
    return queued;
}

int LogicStatus::CountLogin(int queued)
{
    if (queued != 0)
        Count(m_Logins);
    return queued;
}

void ChannelStatus::SetRelay(const std::string &sxtId, const std::string &host, const std::string &port)
{
    m_SxtId.Set(sxtId);
    m_RelayServer.Set(host.empty() && port.empty() ? std::string() : host + ":" + port);
}

void ChannelStatus::CountFrame(bool queued, bool keyFrame)
{
    if (!queued) {
        Count(m_FramesDropped);
        return;
    }
    Count(m_FramesSent);
    if (keyFrame)
        m_LastKeyFrame.Mark(MonotonicNowMs());
}

void ChannelStatus::Restart()
{
    m_Relay.Reset(kLinkUnassigned);
    SetRelay("", "", "");
    SetForwarding(false);
}

void AlarmStatus::NoteUpload(bool ok)
{
    if (ok)
        Count(m_Uploaded);
    m_LastUpload.store(ok ? kUploadOk : kUploadFailed, std::memory_order_relaxed);
}

AgentStatus &AgentStatus::instance()
{
    // Created on first use, which main makes the start of the process.
    static AgentStatus status(MonotonicNowMs());
    return status;
}

AgentStatus::AgentStatus(int32_t startTime) : m_StartTime(startTime)
{
    m_Logic.m_Link.Reset(kLinkDisconnected);
    for (int32_t i = 0; i < kMaxStatusChannels; ++i)
        m_Channels[i].m_Relay.Reset(kLinkUnassigned);
}

ChannelStatus &AgentStatus::Channel(int32_t index)
{
    return index >= 0 && index < kMaxStatusChannels ? m_Channels[index] : m_Spare;
}

const ChannelStatus &AgentStatus::Channel(int32_t index) const
{
    return index >= 0 && index < kMaxStatusChannels ? m_Channels[index] : m_Spare;
}
