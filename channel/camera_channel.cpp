#include "channel/camera_channel.h"

#include "net/video_drop.h"
#include "runtime/console.h"

namespace {
const int32_t kThreadPeriodMs = 40;          // run-once threads: never used
const char kInitialQuality[] = "4";          // sub stream until the relay server asks otherwise
}  // namespace

CameraChannel::CameraChannel(ICameraNotify *owner, int32_t index, uint32_t hDev)
    : m_Index(index), m_hDev(hDev), m_Owner(owner), m_CommandThreadIdle(false), m_Width(0), m_Height(0),
      m_FrameSeq(0),
      m_Forwarding(false), m_RelayRecvTime(0), m_NeedKeyFrame(true), m_UplinkSkipping(false),
      m_UplinkSkipped(0), m_LastOwnKeyMs(0), m_OwnKeyIntervalMs(0), m_KeyAsked(false), m_StopRequested(false),
      m_LinkReady(false), m_ForwardersInFlight(0), m_Status(AgentStatus::instance().Channel(index))
{
    m_Status.Restart();
    // The relay thread touches the connection only once a relay request has
    // arrived, and the command thread only once the connection has received
    // something, so both may start before the connection is set up.
    m_RelayThread.Start(&CameraChannel::RelayLoop, this, true, kThreadPeriodMs);
    m_CommandThread.Start(&CameraChannel::CommandLoop, this, true, kThreadPeriodMs);
    m_RelayConn.Setup(kRelaySlotSize, kRelaySlotCount, &CameraChannel::OnRelayPacket, this);
    m_RelayConn.SetLiveVideo(kRelayUnsentLimit, kStaleVideoMs, kRelayHeartbeatMs);
    // Not connected yet, so no acknowledgement goes out.
    ApplyVideoQuality(kInitialQuality);
}

CameraChannel::~CameraChannel()
{
    // Both threads may be waiting: wake them so they see the stop.
    m_StopRequested.store(true);
    m_RelayConn.Wake();
    m_CommandSignal.Post();
    m_RelayThread.Stop();
    m_CommandThread.Stop();
    // A quality change that was under way when the caller stopped the
    // stream has started it again, with this channel as its user data:
    // stop it once more now that no command can run, so that no stream
    // callback outlives the channel.
    StopSdkStream();
    {
        MutexGuard guard(m_RequestLock);
        m_RequestQueue.clear();
    }
    {
        MutexGuard guard(m_CommandLock);
        m_CommandQueue.clear();
    }
    // m_RelayConn closes its socket as it is destroyed; the relay server
    // gets no farewell message.
}

void CameraChannel::PostRelayRequest(const NotifyEvent &event)
{
    if (event.kind == kEventRelayRequest && !RelayIdFits(event.fields.Get("sxtId"))) {
        // Cutting the id would log in as another camera, and storing it
        // would leave a link that can never log in.
        ConsolePrint("relay request refused: sxtId of %zu bytes does not fit the relay login\n",
                     event.fields.Get("sxtId").size());
        return;
    }
    {
        MutexGuard guard(m_RequestLock);
        // Each request replaces the relay address, so when a logic server
        // floods the channel only the latest ones matter: the oldest give
        // way rather than the queue growing without limit.
        if (m_RequestQueue.size() >= kMaxPendingRelayRequests)
            m_RequestQueue.pop_front();
        m_RequestQueue.push_back(event);
    }
    m_RelayConn.Wake();
}

std::string CameraChannel::GetSxtId() const
{
    MutexGuard guard(m_RequestLock);
    return m_SxtId;
}

std::string CameraChannel::GetCameraName() const
{
    // Never changed after construction.
    return m_CameraName;
}

size_t CameraChannel::PendingCommandCount()
{
    MutexGuard guard(m_CommandLock);
    return m_CommandQueue.size();
}

size_t CameraChannel::PendingRequestCount()
{
    MutexGuard guard(m_RequestLock);
    return m_RequestQueue.size();
}
