#include <stdint.h>

#include <algorithm>

#include "records/agent_settings.h"
#include "net/video_drop.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/bounded_format.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/netlib.h"
#include "runtime/sdk_records.h"
#include "runtime/thread_name.h"

namespace {
const uint32_t kRelaySilenceLimitMs = 35000;   // no packet for longer: drop the link
const int kRelayConnectTimeoutSec = 5;
// A heartbeat that found no slot is tried again this soon, by a pass of
// its own if nothing else wakes the thread.
const int64_t kHeartbeatRetryMs = 250;
// While video is forwarded the uplink rate is sampled this often, also
// when every frame goes straight to the socket and nothing else wakes the
// thread.
const int64_t kUplinkSampleMs = 1000;
const uint32_t kRelayRetryPauseMs = 1000;      // between passes while no relay is assigned
const uint32_t kRelayStableMs = 10000;         // a link that held this long starts retries afresh
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
            // A relay request opens its link at once, whatever failed before.
            link.backoff.Reset();
        }
        bool tried = TryRelay(&link, &announced);
        if (m_RelayConn.IsConnected()) {
            ServeLink(&link);
            continue;
        }
        m_Status.NoteRelayDown(HasRelayAddress());
        // The owner hears "0" once a reconnect has failed, not while the
        // retry waits its turn.
        if (!m_SxtId.empty() && announced && (tried || !HasRelayAddress())) {
            NotifyOwner("0");
            announced = false;
        }
        PauseRelay(HasRelayAddress() ? link.backoff.MsUntilDue(MonotonicNowMs()) : kRelayRetryPauseMs);
    }
}

bool CameraChannel::TryRelay(RelayLinkTimes *link, bool *announced)
{
    if (m_RelayConn.IsConnected() || !HasRelayAddress() || link->backoff.MsUntilDue(MonotonicNowMs()) != 0)
        return false;
    if (ComeUp(link))
        *announced = true;
    else
        link->backoff.Fail(MonotonicNowMs());
    return true;
}

void CameraChannel::NoteRelayLoss(RelayLinkTimes *link)
{
    // The retry after a loss waits its turn like one after a failed
    // connect, so a relay server that restarts is not met by its whole
    // fleet in the same second; a link that held a while starts afresh.
    int32_t now = MonotonicNowMs();
    if (AbsDiffMs(now, link->connected) >= kRelayStableMs)
        link->backoff.Reset();
    link->backoff.Fail(now);
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
    int32_t now = MonotonicNowMs();
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
    // Silence and heartbeats count on the monotonic clock: a step of the
    // wall clock (the relay server's own time command among them) neither
    // drops the link nor moves a heartbeat.
    if (AbsDiffMs(MonotonicNowMs(), m_RelayRecvTime.load()) > kRelaySilenceLimitMs) {
        m_RelayConn.Close();
    } else {
        KeepHeartbeat(link, false);
        // One wait a pass, until the socket, a producer or the nearest
        // deadline needs the thread; what is queued leaves in the same call.
        m_RelayConn.Service(RelayWaitMs(*link));
        if (m_RelayConn.TakeControlRequest())
            KeepHeartbeat(link, true);
        ReportUplink(link);
        AskForKeyFrame(link);
    }
    if (!m_RelayConn.IsConnected())
        NoteRelayLoss(link);
}

void CameraChannel::KeepHeartbeat(RelayLinkTimes *link, bool early)
{
    int32_t now = MonotonicNowMs();
    // The heartbeat time moves only once one is queued: one that found no
    // slot is tried again on the next pass.
    if ((early || AbsDiffMs(now, link->heartbeat) > kRelayHeartbeatMs) && SendRelayHeartbeat() != 0)
        link->heartbeat = now;
    m_RelayConn.ExpectControlWithin(MsUntilOver(now, link->heartbeat, kRelayHeartbeatMs));
}

bool CameraChannel::WaitingForKeyFrame() const
{
    return m_Forwarding.load() && m_UplinkSkipping.load() && m_NeedKeyFrame.load();
}

void CameraChannel::AskForKeyFrame(RelayLinkTimes *link)
{
    if (!WaitingForKeyFrame())
        return;
    int64_t now = MonotonicMs();
    KeyFrameWait wait = {true, m_RelayConn.VideoBacklogMs(), link->keyAskedAt != 0 ? now - link->keyAskedAt : -1,
                         OwnKeyFrameInMs(now)};
    // Nothing wakes the thread when the kernel has passed its backlog on.
    link->keyBacklogLeftAt = wait.backlogMs > kKeyRequestBacklogMs ? now + wait.backlogMs - kKeyRequestBacklogMs : 0;
    // Nor while a key frame would be dropped for the coming heartbeat: the
    // thread wakes for the heartbeat and asks right after it.
    if (!KeyFrameRequestDue(wait) || m_RelayConn.KeyFrameWouldMissControl())
        return;
    link->keyAskedAt = now;
    m_KeyAsked.store(true);  // before the camera can answer
    // As the relay server's forwarding start does; never from the stream
    // callback, which the SDK runs.
    HI_NET_DEV_MakeKeyFrame(m_hDev, AgentSettings::instance().m_ViedoQP.load() > 3 ? kSdkSubStream
                                                                                  : kSdkMainStream);
    Count(m_Status.m_KeyFramesAsked);
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
    char span[32] = "so far";
    if (link->saidAt != 0)
        FormatBounded(span, sizeof(span), "in the last %lld s", static_cast<long long>((now - link->saidAt + 500) / 1000));
    ConsolePrint("channel %d: %u video frames dropped for the uplink %s: the relay link carried %u kbit/s, less "
                 "than the video; a frame that waited over %lld ms (plus a key frame's sending time where the "
                 "link has room) is dropped, and the frames after it up to the next key frame\n",
                 static_cast<int>(m_Index), drops - link->dropsSaid, span, rate * 8 / 1000,
                 static_cast<long long>(kStaleVideoMs));
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
    // Frames gated while the link is down are not the uplink's doing.
    m_UplinkSkipping.store(false);
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

int64_t CameraChannel::KeyRequestWaitMs(const RelayLinkTimes &link) const
{
    // A key frame not yet asked for because the last request is too recent,
    // or the kernel still holds video.
    int64_t now = MonotonicMs();
    int64_t wait = INT32_MAX;
    int64_t spacingLeft = link.keyAskedAt + kKeyRequestSpacingMs - now;
    if (link.keyAskedAt != 0 && spacingLeft > 0)
        wait = spacingLeft;
    int64_t backlogLeft = link.keyBacklogLeftAt - now;
    if (link.keyBacklogLeftAt != 0 && backlogLeft > 0 && backlogLeft < wait)
        wait = backlogLeft;
    // Or because the camera's own is due within the second: should it not
    // come, the request is made the moment it was due, not at the next
    // wake-up for something else.
    int64_t ownKeyIn = OwnKeyFrameInMs(now);
    if (ownKeyIn > 0 && ownKeyIn <= kOwnKeyFrameSoonMs && ownKeyIn < wait)
        wait = ownKeyIn;
    return wait;
}

int CameraChannel::RelayWaitMs(const RelayLinkTimes &link) const
{
    int32_t now = MonotonicNowMs();
    int64_t wait = MsUntilOver(now, m_RelayRecvTime.load(), kRelaySilenceLimitMs);
    int64_t heartbeat = MsUntilOver(now, link.heartbeat, kRelayHeartbeatMs);
    // Overdue: it found no slot, and is tried again shortly.
    wait = std::min(wait, heartbeat > 0 ? heartbeat : kHeartbeatRetryMs);
    if (m_Forwarding.load())
        wait = std::min(wait, kUplinkSampleMs);
    if (WaitingForKeyFrame())
        wait = std::min(wait, KeyRequestWaitMs(link));
    return static_cast<int>(wait);
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
    // An answer: it leaves the last slot to the heartbeat.
    return m_RelayConn.QueueText(text, kClaimAnswer);
}
