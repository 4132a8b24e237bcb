#ifndef RECORDS_AGENT_STATUS_H
#define RECORDS_AGENT_STATUS_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#include "runtime/shared_text.h"

// What the agent has done since it started, for the status report printed
// on SIGUSR1. The threads that do the work write it; the main thread reads
// it. Counters and states are relaxed atomics: one uncontended add on the
// paths they count, the frame path included, and never a lock there. Texts
// (addresses, relay id) change only when a link is assigned, and are
// SharedText.

enum LinkState { kLinkUnassigned = 0, kLinkDisconnected = 1, kLinkConnected = 2 };
enum UploadOutcome { kUploadNone = 0, kUploadOk = 1, kUploadFailed = 2 };

// A MonotonicNowMs reading that may not have been taken yet.
class TimeMark {
public:
    TimeMark() : m_At(0), m_Set(false) {}
    void Mark(int32_t now);
    // False while never marked.
    bool Get(int32_t *at) const;
    void Clear() { m_Set.store(false, std::memory_order_release); }

private:
    std::atomic<int32_t> m_At;
    std::atomic<bool> m_Set;
};

inline void Count(std::atomic<uint32_t> &counter)
{
    counter.fetch_add(1, std::memory_order_relaxed);
}

inline uint32_t Read(const std::atomic<uint32_t> &counter)
{
    return counter.load(std::memory_order_relaxed);
}

// The state of one link and since when it holds.
class LinkStatus {
public:
    LinkStatus() : m_State(kLinkUnassigned) {}
    // Moves to the state; the time changes only when the state does.
    void Set(LinkState state);
    // Marks the link up now, also when it already was (a reconnect).
    void Up();
    LinkState State() const { return static_cast<LinkState>(m_State.load(std::memory_order_relaxed)); }
    const TimeMark &SinceMark() const { return m_Since; }
    void Reset(LinkState state);

private:
    std::atomic<int32_t> m_State;
    TimeMark m_Since;
};

class LogicStatus {
public:
    void SetServer(const std::string &host, int32_t port);
    void NoteMessage();
    // Each returns `queued`, so a send can be counted where it is returned.
    int CountHeartbeat(int queued);
    int CountLogin(int queued);

    LinkStatus m_Link;
    SharedText m_Server; // "host:port", empty until a logic server is known
    TimeMark m_LastMessage;
    std::atomic<uint32_t> m_Heartbeats{0};
    std::atomic<uint32_t> m_Logins{0};
};

class ChannelStatus {
public:
    ChannelStatus() : m_Forwarding(false) {}
    void SetRelay(const std::string &sxtId, const std::string &host, const std::string &port);
    // A link that is down is unassigned while the relay id, host or port is empty.
    void NoteRelayDown(bool assigned) { m_Relay.Set(assigned ? kLinkDisconnected : kLinkUnassigned); }
    void SetForwarding(bool on) { m_Forwarding.store(on, std::memory_order_relaxed); }
    // One frame that passed the forwarding gate: queued on the relay link, or dropped.
    void CountFrame(bool queued, bool keyFrame);
    // A new channel object on this index: the link starts unassigned; the
    // counters go on.
    void Restart();

    LinkStatus m_Relay;
    SharedText m_RelayServer; // "host:port"
    SharedText m_SxtId;
    std::atomic<bool> m_Forwarding;
    std::atomic<uint32_t> m_FramesSent{0};
    std::atomic<uint32_t> m_FramesDropped{0};
    TimeMark m_LastKeyFrame;
    std::atomic<uint32_t> m_CommandsDone{0};
    std::atomic<uint32_t> m_CommandsSkipped{0};
    // Live video on a thin uplink (written by the relay thread): frames
    // dropped because the uplink could not carry them, the delay from the
    // camera to the kernel of the last frame sent (-1: none yet), the
    // bytes a second the relay server acknowledged lately (direct sends
    // included, sampled each second while forwarding).
    std::atomic<uint32_t> m_UplinkDropped{0};
    std::atomic<int32_t> m_LastFrameDelayMs{-1};
    std::atomic<uint32_t> m_UplinkRate{0};
    // Key frames asked of the camera after drops for the uplink.
    std::atomic<uint32_t> m_KeyFramesAsked{0};
};

class AlarmStatus {
public:
    AlarmStatus() : m_LastUpload(kUploadNone) {}
    void NoteUpload(bool ok);
    UploadOutcome LastUpload() const
    {
        return static_cast<UploadOutcome>(m_LastUpload.load(std::memory_order_relaxed));
    }

    std::atomic<uint32_t> m_Seen{0};
    std::atomic<uint32_t> m_RateLimited{0};
    std::atomic<uint32_t> m_Uploaded{0};
    std::atomic<uint32_t> m_Reported{0};

private:
    std::atomic<int32_t> m_LastUpload;
};

const int32_t kMaxStatusChannels = 8;

class AgentStatus {
public:
    static AgentStatus &instance();

    // startTime: the MonotonicNowMs reading the uptime counts from.
    explicit AgentStatus(int32_t startTime);
    AgentStatus(const AgentStatus &) = delete;
    AgentStatus &operator=(const AgentStatus &) = delete;

    // The record of a channel index; indexes beyond kMaxStatusChannels
    // share one spare record that is never reported.
    ChannelStatus &Channel(int32_t index);
    const ChannelStatus &Channel(int32_t index) const;

    int32_t m_StartTime;
    LogicStatus m_Logic;
    AlarmStatus m_Alarms;
    std::atomic<uint32_t> m_DiscoveryAnswers{0};
    std::atomic<uint32_t> m_DiscoveryUnanswered{0}; // probes beyond the answer rate

private:
    ChannelStatus m_Channels[kMaxStatusChannels];
    ChannelStatus m_Spare;
};

#endif
