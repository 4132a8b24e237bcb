#include "logic/server_logic.h"

#include "app/agent_settings.h"
#include "protocol/templates.h"
#include "runtime/clock.h"

namespace {
const int kConnectTimeoutSec = 5;
const int kMaxFailedConnects = 20;  // the 21st failure in a row ends the run
const uint32_t kIdleLimitMs = 35000;
const uint32_t kHeartbeatIntervalMs = 10000;
const uint32_t kLoginRetryDelayMs = 30000;
const size_t kMaxPendingLoginRetries = 16;
// No deadline of the event queue: only the link's own deadlines count.
const uint32_t kNoDeadline = UINT32_MAX;
// A link that lived shorter than this is not reopened before this much time
// has passed since its connect: a server that drops every connection at
// once must not get a connect storm.
const uint32_t kShortLinkPauseMs = 1000;
const size_t kMessageBufferSize = 256;

// A reading that lies ahead of `now` was taken before the wall clock was
// set back. The time since it is short but unknown, so it is counted as
// none and runs on from now: a negative age is no silence and no due
// heartbeat, and the heartbeats keep their 10 s rhythm after the step.
void CountFromNowIfAhead(int32_t *reading, int32_t now)
{
    if (static_cast<int32_t>(ElapsedMs(now, *reading)) < 0)
        *reading = now;
}

// Milliseconds until more than `limit` ms have passed since `since`.
uint32_t TimeUntilPast(int32_t now, int32_t since, uint32_t limit)
{
    uint32_t elapsed = ElapsedMs(now, since);
    return elapsed > limit ? 0 : limit - elapsed + 1;
}
}  // namespace

CServerLogic::CServerLogic()
    : m_RetryEventCount(0), m_hDev(0), m_LastRecvTime(0), m_LoginRetryTime(0), m_AlarmTime(0),
      m_Status(AgentStatus::instance().m_Logic)
{
    m_LogicConn.Close();
    m_LastRecvTime = NowMs();
    m_LogicConn.Setup(kLogicSlotSize, kLogicSlotCount, LogicMessageHandler, this);
}

CServerLogic::~CServerLogic()
{
    // The channels themselves are destroyed by LogoutDev.
    MutexGuard guard(m_ChannelsLock);
    m_Channels.clear();
}

void CServerLogic::notify(const NotifyEvent &event)
{
    PostEvent(event);
}

void CServerLogic::PostEvent(const NotifyEvent &event)
{
    {
        MutexGuard guard(m_EventLock);
        if (event.kind == kEventLoginRetry) {
            // All retries fall due together; a server that keeps refusing
            // the login must not grow the queue without limit.
            if (m_RetryEventCount >= kMaxPendingLoginRetries)
                return;
            ++m_RetryEventCount;
        }
        m_EventQueue.push_back(event);
    }
    m_LogicConn.Wake();
}

size_t CServerLogic::PendingEventCount()
{
    MutexGuard guard(m_EventLock);
    return m_EventQueue.size();
}

CameraChannel *CServerLogic::FirstChannel()
{
    MutexGuard guard(m_ChannelsLock);
    return m_Channels.empty() ? nullptr : m_Channels.begin()->second;
}

bool CServerLogic::TakeEvent(NotifyEvent *event)
{
    MutexGuard guard(m_EventLock);
    if (m_EventQueue.empty())
        return false;
    *event = m_EventQueue.front();
    m_EventQueue.pop_front();
    if (event->kind == kEventLoginRetry)
        --m_RetryEventCount;
    return true;
}

void CServerLogic::HandleEvent(const NotifyEvent &event)
{
    if (event.kind == kEventCameraState) {
        SendCameraState(event);
    } else if (event.kind == kEventLoginRetry) {
        if (ElapsedMs(NowMs(), m_LoginRetryTime) <= kLoginRetryDelayMs) {
            MutexGuard guard(m_EventLock);
            m_EventQueue.push_back(event);
            ++m_RetryEventCount;
        } else {
            SendDevLogin();
        }
    }
}

uint32_t CServerLogic::EventWaitMs(int32_t now)
{
    // A login retry that is not due yet only circulates: wait for its time
    // instead of turning it round and round. Every retry falls due at the
    // same time; any other event is handled at once.
    MutexGuard guard(m_EventLock);
    if (m_EventQueue.size() != m_RetryEventCount)
        return 0;
    if (m_RetryEventCount == 0)
        return kNoDeadline;
    return TimeUntilPast(now, m_LoginRetryTime, kLoginRetryDelayMs);
}

int CServerLogic::Run()
{
    AgentSettings &settings = AgentSettings::instance();
    m_Status.SetServer(settings.m_LogicServerIp, settings.m_LogicServerPort.load());
    LogicLinkState link;
    for (;;) {
        if (!m_LogicConn.IsConnected() && !ReconnectLogic(&link))
            return 1;
        if (m_LogicConn.IsConnected())
            ServeLogic(&link);
    }
}

bool CServerLogic::ReconnectLogic(LogicLinkState *link)
{
    AgentSettings &settings = AgentSettings::instance();
    m_Status.m_Link.Set(kLinkDisconnected);
    if (link->wasConnected)
        PauseAfterShortLink(link->connectedAt);
    link->wasConnected = false;
    bool connected = m_LogicConn.Connect(settings.m_LogicServerIp.c_str(),
                                         static_cast<unsigned int>(settings.m_LogicServerPort.load()),
                                         kConnectTimeoutSec) != 0;
    if (connected) {
        m_Status.m_Link.Up();
        SendDevLogin();
    }
    m_LastRecvTime = NowMs();
    if (!connected)
        return ++link->failures <= kMaxFailedConnects;
    link->failures = 0;
    link->wasConnected = true;
    link->connectedAt = m_LastRecvTime;
    return true;
}

void CServerLogic::ServeLogic(LogicLinkState *link)
{
    CountFromNowIfAhead(&m_LastRecvTime, NowMs());
    if (link->heartbeatSent)
        CountFromNowIfAhead(&link->lastHeartbeat, NowMs());
    if (ElapsedMs(NowMs(), m_LastRecvTime) > kIdleLimitMs) {
        m_LogicConn.Close();
        return;
    }
    if (ElapsedMs(NowMs(), link->lastHeartbeat) > kHeartbeatIntervalMs) {
        link->lastHeartbeat = NowMs();
        link->heartbeatSent = true;
        SendHeartbeat();
    }
    NotifyEvent event;
    if (TakeEvent(&event))
        HandleEvent(event);

    // One wait a pass, until the socket, a producer or the nearest deadline
    // needs the thread; what is queued leaves in the same call.
    int32_t now = NowMs();
    uint32_t wait = EventWaitMs(now);
    uint32_t idle = TimeUntilPast(now, m_LastRecvTime, kIdleLimitMs);
    uint32_t heartbeat = TimeUntilPast(now, link->lastHeartbeat, kHeartbeatIntervalMs);
    if (idle < wait)
        wait = idle;
    if (heartbeat < wait)
        wait = heartbeat;
    m_LogicConn.Service(static_cast<int>(wait));
}

void CServerLogic::PauseAfterShortLink(int32_t connectedAt)
{
    // The pause is measured on the monotonic clock from the moment the loss
    // is seen, so a wall-clock step can neither stretch nor skip it.
    uint32_t lived = ElapsedMs(NowMs(), connectedAt);
    if (lived >= kShortLinkPauseMs)
        return;
    int64_t end = MonotonicMs() + (kShortLinkPauseMs - lived);
    for (;;) {
        int64_t left = end - MonotonicMs();
        if (left <= 0)
            return;
        m_LogicConn.Wait(static_cast<int>(left));
    }
}

int CServerLogic::SendHeartbeat()
{
    if (!m_LogicConn.IsConnected())
        return 0;
    return m_Status.CountHeartbeat(m_LogicConn.QueueText(kHeartbeatText));
}

int CServerLogic::SendDevLogin()
{
    if (!m_LogicConn.IsConnected())
        return 0;
    AgentSettings &settings = AgentSettings::instance();
    std::string devId;
    {
        MutexGuard guard(settings.m_DevLock);
        devId = settings.m_DevId;
    }
    char text[kMessageBufferSize];
    if (FormatDevLogin(text, sizeof(text), devId.c_str()) < 0)
        return 0;
    return m_Status.CountLogin(m_LogicConn.QueueText(text));
}

int CServerLogic::SendCameraState(const NotifyEvent &event)
{
    if (!m_LogicConn.IsConnected())
        return 0;
    char text[kMessageBufferSize];
    if (FormatCameraState(text, sizeof(text), event.fields.Get("cameraId").c_str(),
                          event.fields.Get("active").c_str()) < 0)
        return 0;
    return m_LogicConn.QueueText(text);
}
