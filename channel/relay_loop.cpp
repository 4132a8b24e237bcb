#include <stdint.h>
#include <stdio.h>

#include "app/agent_settings.h"
#include "net/video_drop.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/bounded_format.h"
#include "runtime/clock.h"
#include "runtime/thread_name.h"

namespace {
const uint32_t kRelaySilenceLimitMs = 35000;   // no packet for longer: drop the link
const uint32_t kRelayHeartbeatMs = 10000;      // heartbeat after longer than this
const int kRelayConnectTimeoutSec = 5;
const uint32_t kRelayRetryPauseMs = 1000;      // between passes while the link is down
const size_t kRelayTextBufferSize = 256;
const int64_t kUplinkLineMs = 10000;          // at most one line this often about drops

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
    char name[16];
    FormatBounded(name, sizeof(name), "ca-relay%d", static_cast<int>(m_Index));
    NameThisThread(name);
    RelayLinkTimes link;
    bool announced = false;  // the owner has been told "1" and not yet "0"
    while (m_RelayThread.IsRunning() && !m_StopRequested.load()) {
        NotifyEvent request;
        if (TakeRelayRequest(&request) && request.kind == kEventRelayRequest) {
            if (m_RelayConn.IsConnected())
                m_RelayConn.Close();
            AssignRelay(request.fields);
            m_Status.SetRelay(m_SxtId, m_TransIp, m_TransPort);
        }
        if (!m_RelayConn.IsConnected() && HasRelayAddress() && ComeUp(&link))
            announced = true;
        if (m_RelayConn.IsConnected()) {
            ServeLink(&link);
            continue;
        }
        m_Status.NoteRelayDown(HasRelayAddress());
        if (!m_SxtId.empty() && announced) {
            NotifyOwner("0");
            announced = false;
        }
        PauseRelay(kRelayRetryPauseMs);
    }
}

bool CameraChannel::HasRelayAddress() const
{
    // The relay texts are written only on this thread, so reading them
    // here needs no lock.
    return !m_SxtId.empty() && !m_TransIp.empty() && !m_TransPort.empty();
}

bool CameraChannel::ComeUp(RelayLinkTimes *link)
{
    if (!ConnectRelay())
        return false;
    int32_t now = NowMs();
    link->heartbeat = now;
    link->connected = now;
    m_RelayRecvTime.store(now);
    if (SendRelayLogin() == 0) {
        m_RelayConn.Close();
        return false;
    }
    // Video may follow the login now, starting with a key frame.
    m_NeedKeyFrame.store(true);
    m_LinkReady.store(true);
    m_Status.m_Relay.Up();
    NotifyOwner("1");
    return true;
}

void CameraChannel::ServeLink(RelayLinkTimes *link)
{
    if (AbsDiffMs(NowMs(), m_RelayRecvTime.load()) > kRelaySilenceLimitMs) {
        m_RelayConn.Close();
    } else {
        int32_t now = NowMs();
        if (AbsDiffMs(now, link->heartbeat) > kRelayHeartbeatMs) {
            link->heartbeat = now;
            SendRelayHeartbeat();
        }
        // One wait a pass, until the socket, a producer or the nearest
        // deadline needs the thread; what is queued leaves in the same call.
        m_RelayConn.Service(RelayWaitMs(link->heartbeat));
        ReportUplink(link);
    }
    // A link closed now is tried again at once, unless it had only just
    // come up: a server that drops every connection straight away must not
    // get a connect storm.
    if (!m_RelayConn.IsConnected() && AbsDiffMs(NowMs(), link->connected) < kRelayRetryPauseMs)
        PauseRelay(kRelayRetryPauseMs);
}

void CameraChannel::ReportUplink(RelayLinkTimes *link)
{
    uint32_t rate = m_RelayConn.SampleUplinkRate();
    m_Status.m_UplinkRate.store(rate, std::memory_order_relaxed);
    m_Status.m_LastFrameDelayMs.store(m_RelayConn.LastVideoDelayMs(), std::memory_order_relaxed);
    uint32_t drops = m_RelayConn.VideoDropped() + m_UplinkSkipped.load(std::memory_order_relaxed);
    if (drops == link->dropsSeen)
        return;
    m_Status.m_UplinkDropped.fetch_add(drops - link->dropsSeen, std::memory_order_relaxed);
    link->dropsSeen = drops;
    int64_t now = MonotonicMs();
    if (link->saidAt != 0 && now - link->saidAt < kUplinkLineMs)
        return;
    printf("channel %d: %u video frames dropped for the uplink %s: the relay link carried %u kbit/s, less "
           "than the video; a frame %lld ms old is dropped, and the frames after it up to the next key frame\n",
           static_cast<int>(m_Index), drops - link->dropsSaid,
           link->saidAt != 0 ? "in the last 10 s" : "so far", rate * 8 / 1000, static_cast<long long>(kStaleVideoMs));
    link->dropsSaid = drops;
    link->saidAt = now;
}

void CameraChannel::PauseRelay(uint32_t ms)
{
    // Only a posted request or the stop ends the pause early; a wait that
    // returns for any other reason is simply resumed. Measured on the
    // monotonic clock, so a step of the wall clock cannot stretch it.
    int64_t end = MonotonicMs() + ms;
    for (;;) {
        int64_t left = end - MonotonicMs();
        if (left <= 0 || m_StopRequested.load() || !m_RelayThread.IsRunning() || PendingRequestCount() != 0)
            return;
        m_RelayConn.Wait(static_cast<int>(left));
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
    int64_t heartbeat = MsUntilOver(now, heartbeatTime, kRelayHeartbeatMs);
    int64_t silence = MsUntilOver(now, m_RelayRecvTime.load(), kRelaySilenceLimitMs);
    return static_cast<int>(heartbeat < silence ? heartbeat : silence);
}

bool CameraChannel::RelayIdFits(const std::string &sxtId)
{
    char text[kRelayTextBufferSize];
    return FormatRelayLogin(text, sizeof(text), sxtId.c_str(), kRelayPassword) >= 0;
}

int32_t CameraChannel::SendRelayLogin()
{
    if (!m_RelayConn.IsConnected())
        return 0;
    char text[kRelayTextBufferSize];
    // Requests with an id too long for the buffer are refused on arrival.
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
