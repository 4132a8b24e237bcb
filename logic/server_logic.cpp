#include "logic/server_logic.h"

#include "records/agent_settings.h"
#include "protocol/templates.h"
#include "runtime/clock.h"

namespace {
const int kConnectTimeoutSec = 5;
// Failures of the logic server lasting this long (counting the wait before
// the next attempt) end the run, so that the directory is asked again: a
// logic server that moved is found within about a minute.
const uint32_t kAskDirectoryAfterMs = 30000;
const uint32_t kIdleLimitMs = 35000;
const uint32_t kHeartbeatIntervalMs = 10000;
const uint32_t kLoginRetryDelayMs = 30000;
const size_t kMaxPendingLoginRetries = 16;
// No deadline of the event queue: only the link's own deadlines count.
const uint32_t kNoDeadline = UINT32_MAX;
const size_t kMessageBufferSize = 256;

// Milliseconds until more than `limit` ms have passed since `since`.
uint32_t TimeUntilPast(int32_t now, int32_t since, uint32_t limit)
{
    uint32_t elapsed = ElapsedMs(now, since);
    return elapsed > limit ? 0 : limit - elapsed + 1;
}
}  // namespace

CServerLogic::CServerLogic()
    : m_RetryEventCount(0), m_LogicBackoff(kReconnectFirstMs, kReconnectCapMs),
      m_OutageLookupTimed(false), m_hDev(0), m_LastRecvTime(0),
      m_LoginRetryTime(0), m_AlarmTime(0), m_AlarmMonotonicTime(0), m_AlarmPassed(false),
      m_Status(AgentStatus::instance().m_Logic)
{
    m_LogicConn.Close();
    m_LastRecvTime = MonotonicNowMs();
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
        if (ElapsedMs(MonotonicNowMs(), m_LoginRetryTime) <= kLoginRetryDelayMs) {
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
    // A lost link counts as a failure: a server that accepts and drops
    // every connection is paced like one that refuses.
    if (link->wasConnected) {
        link->wasConnected = false;
        if (!RetryLogicLater())
            return false;
    }
    WaitForLogicRetry();
    bool connected = m_LogicConn.Connect(settings.m_LogicServerIp.c_str(),
                                         static_cast<unsigned int>(settings.m_LogicServerPort.load()),
                                         kConnectTimeoutSec) != 0;
    m_LastRecvTime = MonotonicNowMs();
    if (!connected)
        return RetryLogicLater();
    m_Status.m_Link.Up();
    SendDevLogin();
    link->wasConnected = true;
    return true;
}

bool CServerLogic::RetryLogicLater()
{
    int32_t now = MonotonicNowMs();
    m_LogicBackoff.Fail(now);
    uint32_t failingFor = m_LogicBackoff.FailingForMs(now);
    if (failingFor + m_LogicBackoff.MsUntilDue(now) < kAskDirectoryAfterMs)
        return true;
    // The first lookup of an outage comes within a minute of its start,
    // whatever wait the schedule drew and however late this run looked at
    // its clock: a logic server that moved is found within about a minute.
    if (!m_OutageLookupTimed) {
        m_LogicBackoff.RedrawDueBetween(kAskDirectoryAfterMs, 2 * kAskDirectoryAfterMs);
        m_OutageLookupTimed = true;
    }
    return false;
}

uint32_t CServerLogic::MsUntilLogicRetry()
{
    return m_LogicBackoff.MsUntilDue(MonotonicNowMs());
}

void CServerLogic::WaitForLogicRetry()
{
    // Waits on the monotonic clock, so a wall-clock step can neither
    // stretch nor skip it; wake-ups from posted events are slept through.
    for (;;) {
        uint32_t left = MsUntilLogicRetry();
        if (left == 0)
            return;
        m_LogicConn.Wait(static_cast<int>(left));
    }
}

void CServerLogic::ServeLogic(LogicLinkState *link)
{
    // Every time here is on the monotonic clock: a step of the wall clock
    // in either direction neither drops the link nor moves a heartbeat.
    int32_t now = MonotonicNowMs();
    if (ElapsedMs(now, m_LastRecvTime) > kIdleLimitMs) {
        m_LogicConn.Close();
        return;
    }
    if (!link->heartbeatSent || ElapsedMs(now, link->lastHeartbeat) > kHeartbeatIntervalMs) {
        link->lastHeartbeat = now;
        link->heartbeatSent = true;
        SendHeartbeat();
    }
    NotifyEvent event;
    if (TakeEvent(&event))
        HandleEvent(event);

    // One wait a pass, until the socket, a producer or the nearest deadline
    // needs the thread; what is queued leaves in the same call.
    now = MonotonicNowMs();
    uint32_t wait = EventWaitMs(now);
    uint32_t idle = TimeUntilPast(now, m_LastRecvTime, kIdleLimitMs);
    uint32_t heartbeat = TimeUntilPast(now, link->lastHeartbeat, kHeartbeatIntervalMs);
    if (idle < wait)
        wait = idle;
    if (heartbeat < wait)
        wait = heartbeat;
    m_LogicConn.Service(static_cast<int>(wait));
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
