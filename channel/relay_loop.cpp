#include <stdint.h>

#include "app/agent_settings.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/clock.h"

namespace {
const uint32_t kRelaySilenceLimitMs = 35000;   // no packet for longer: drop the link
const uint32_t kRelayHeartbeatMs = 10000;      // heartbeat after longer than this
const int kRelayConnectTimeoutSec = 5;
const uint32_t kRelayRetryPauseMs = 1000;      // between passes while the link is down
const int kRelayMaxWaitMs = 1000;              // longest wait while the link is up
const int kRelaySendPollUs = 10;
const int kRelayRecvPollUs = 1;
const size_t kRelayTextBufferSize = 256;

// Milliseconds until AbsDiffMs(now, since) first exceeds `limit`, or 0 when
// it already does.
int64_t MsUntilOver(int32_t now, int32_t since, uint32_t limit)
{
    if (AbsDiffMs(now, since) > limit)
        return 0;
    int32_t diff = static_cast<int32_t>(ElapsedMs(now, since));
    int64_t left = static_cast<int64_t>(limit) + 1 - diff;
    return left > 0 ? left : 0;
}
}  // namespace

int CameraChannel::RelayLoop(void *channel)
{
    static_cast<CameraChannel *>(channel)->RunRelayLoop();
    return 0;
}

void CameraChannel::RunRelayLoop()
{
    int32_t heartbeatTime = 0;
    int32_t connectTime = 0;
    bool announced = false;  // the owner has been told "1" and not yet "0"
    while (m_RelayThread.IsRunning() && !m_StopRequested.load()) {
        NotifyEvent request;
        if (TakeRelayRequest(&request) && request.kind == kEventRelayRequest) {
            if (m_RelayConn.IsConnected())
                m_RelayConn.Close();
            AssignRelay(request.fields);
            m_Status.SetRelay(m_SxtId, m_TransIp, m_TransPort);
        }

        // The relay texts are written only on this thread, so reading them
        // here needs no lock.
        if (!m_RelayConn.IsConnected() && !m_SxtId.empty() && !m_TransIp.empty() &&
            !m_TransPort.empty() && ConnectRelay()) {
            int32_t now = NowMs();
            heartbeatTime = now;
            connectTime = now;
            m_RelayRecvTime.store(now);
            if (SendRelayLogin() == 0) {
                m_RelayConn.Close();
            } else {
                // Video may follow the login now, starting with a key frame.
                m_NeedKeyFrame.store(true);
                m_LinkReady.store(true);
                m_Status.m_Relay.Up();
                NotifyOwner("1");
                announced = true;
            }
        }

        if (m_RelayConn.IsConnected()) {
            m_RelayConn.PollSend(kRelaySendPollUs);
            m_RelayConn.PollReceive(kRelayRecvPollUs);
            if (AbsDiffMs(NowMs(), m_RelayRecvTime.load()) > kRelaySilenceLimitMs)
                m_RelayConn.Close();
            int32_t now = NowMs();
            if (AbsDiffMs(now, heartbeatTime) > kRelayHeartbeatMs) {
                heartbeatTime = now;
                SendRelayHeartbeat();
            }
            // A link closed in this pass is tried again at once, unless it
            // had only just come up: a server that drops every connection
            // straight away must not get a connect storm.
            if (m_RelayConn.IsConnected())
                m_RelayConn.Wait(RelayWaitMs(heartbeatTime));
            else if (AbsDiffMs(NowMs(), connectTime) < kRelayRetryPauseMs)
                PauseRelay(kRelayRetryPauseMs);
        } else {
            m_Status.NoteRelayDown(!m_SxtId.empty() && !m_TransIp.empty() && !m_TransPort.empty());
            if (!m_SxtId.empty() && announced) {
                NotifyOwner("0");
                announced = false;
            }
            PauseRelay(kRelayRetryPauseMs);
        }
    }
}

void CameraChannel::PauseRelay(uint32_t ms)
{
    // Only a posted request or the stop ends the pause early; a wait that
    // returns for any other reason is simply resumed.
    int32_t start = NowMs();
    for (;;) {
        uint32_t waited = AbsDiffMs(NowMs(), start);
        if (waited >= ms || m_StopRequested.load() || !m_RelayThread.IsRunning() || PendingRequestCount() != 0)
            return;
        m_RelayConn.Wait(static_cast<int>(ms - waited));
    }
}

bool CameraChannel::TakeRelayRequest(NotifyEvent *request)
{
    MutexGuard guard(m_RequestLock);
    if (m_RequestQueue.empty())
        return false;
    *request = m_RequestQueue.front();
    m_RequestQueue.pop_front();
    return true;
}

void CameraChannel::AssignRelay(const MessageFields &fields)
{
    // Under the request lock so that GetSxtId on another thread always
    // copies a whole text.
    MutexGuard guard(m_RequestLock);
    m_SxtId = fields.Get("sxtId");
    m_TransIp = fields.Get("transIp");
    m_TransPort = fields.Get("transPort");
}

bool CameraChannel::ConnectRelay()
{
    // Close video first, and let any frame already past that check finish
    // queueing: it then either lands on the closed link (refused) or on the
    // old connection (discarded), never on the new one ahead of the login.
    m_LinkReady.store(false);
    WaitForForwarders();
    unsigned int port = static_cast<unsigned int>(DecimalValue(m_TransPort));
    return m_RelayConn.Connect(m_TransIp.c_str(), port, kRelayConnectTimeoutSec) == 1;
}

void CameraChannel::WaitForForwarders()
{
    // A forwarder holds its count only while copying one frame into a slot,
    // so this is at most a millisecond or two, and almost always nothing.
    while (m_ForwardersInFlight.load() != 0)
        SleepMs(1);
}

void CameraChannel::NotifyOwner(const char *active)
{
    if (m_Owner == nullptr)
        return;
    NotifyEvent event(kEventCameraState);
    event.fields.Set("cameraId", m_SxtId);
    event.fields.Set("active", active);
    m_Owner->notify(event);
}

int CameraChannel::RelayWaitMs(int32_t heartbeatTime) const
{
    int32_t now = NowMs();
    int64_t wait = kRelayMaxWaitMs;
    int64_t heartbeat = MsUntilOver(now, heartbeatTime, kRelayHeartbeatMs);
    int64_t silence = MsUntilOver(now, m_RelayRecvTime.load(), kRelaySilenceLimitMs);
    if (heartbeat < wait)
        wait = heartbeat;
    if (silence < wait)
        wait = silence;
    return static_cast<int>(wait);
}

int32_t CameraChannel::SendRelayLogin()
{
    if (!m_RelayConn.IsConnected())
        return 0;
    char text[kRelayTextBufferSize];
    // An id too long for the buffer is refused rather than cut: a cut id
    // would log in as another camera.
    if (FormatRelayLogin(text, sizeof(text), m_SxtId.c_str(), kRelayPassword) < 0)
        return 0;
    return m_RelayConn.QueueText(text);
}

int32_t CameraChannel::SendRelayHeartbeat()
{
    if (!m_RelayConn.IsConnected())
        return 0;
    return m_RelayConn.QueueText(kHeartbeatText);
}

int32_t CameraChannel::SendRelayStatus()
{
    if (!m_RelayConn.IsConnected())
        return 0;
    AgentSettings &settings = AgentSettings::instance();
    char text[kRelayTextBufferSize];
    if (FormatRelayStatus(text, sizeof(text), settings.m_EnableQP.load(), settings.m_ViedoQP.load(),
                          settings.m_PTZ.load(), settings.m_Audio.load(), settings.m_SetTime.load(),
                          settings.m_Speak.load()) < 0)
        return 0;
    return m_RelayConn.QueueText(text);
}
