#include <stdint.h>
#include <string.h>

#include "records/agent_settings.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "runtime/console.h"
#include "runtime/netlib.h"
#include "runtime/sdk_records.h"

namespace {
const size_t kAckBufferSize = 256;
const uint32_t kStreamChannel = 1;
const uint32_t kStreamMode = 0;
const uint8_t kStreamContentMask = 7;
const size_t kStreamInfoSize = 12;  // width at byte 4, height at byte 8

struct QualityLevel {
    const char *text;
    int32_t value;
    VideoSettings settings;
};

// Encoder settings per quality level: 1-3 use the main stream, 4-5 the sub
// stream.
const QualityLevel kQualityLevels[] = {
    {"1", 1, {1, 1, 800, 20, 50, 0, 1}},
    {"2", 2, {1, 1, 400, 12, 100, 0, 3}},
    {"3", 3, {1, 1, 240, 12, 100, 1, 3}},
    {"4", 4, {1, 0, 256, 10, 100, 0, 2}},
    {"5", 5, {1, 0, 80, 8, 100, 1, 6}},
};

// The SDK's words are little-endian whatever the host is.
uint32_t ReadWordLE(const unsigned char *bytes)
{
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// Stream data is dropped when the SDK's `length` is shorter than what its
// header implies, so that we never read past the SDK's buffer. Should a
// camera's SDK count `length` some other way, all of its video would be
// dropped here: the first drop of each kind says so on the console.
std::atomic<bool> g_ShortFrameSaid(false);
std::atomic<bool> g_ShortInfoSaid(false);

void SayShortBlockOnce(std::atomic<bool> &said, unsigned int dataType, unsigned int length, uint64_t implied)
{
    if (said.exchange(true))
        return;
    ConsolePrint(
        "stream data dropped for its length: data type %u, length %u, its header implies %llu (said once)\n",
        dataType, length, static_cast<unsigned long long>(implied));
}

// Counts a forwarder in for as long as it may queue on the relay link.
class ForwarderScope {
public:
    explicit ForwarderScope(std::atomic<int32_t> &count) : m_Count(count) { m_Count.fetch_add(1); }
    ~ForwarderScope() { m_Count.fetch_sub(1); }
    ForwarderScope(const ForwarderScope &) = delete;
    ForwarderScope &operator=(const ForwarderScope &) = delete;

private:
    std::atomic<int32_t> &m_Count;
};
}  // namespace

int32_t CameraChannel::ApplyVideoQuality(const std::string &level)
{
    StopSdkStream();
    const QualityLevel *found = nullptr;
    for (size_t i = 0; i < sizeof(kQualityLevels) / sizeof(kQualityLevels[0]); ++i) {
        if (level == kQualityLevels[i].text) {
            found = &kQualityLevels[i];
            break;
        }
    }
    if (found != nullptr) {
        AgentSettings::instance().m_ViedoQP.store(found->value);
        VideoSettings settings = found->settings;
        HI_NET_DEV_SetConfig(m_hDev, kSdkConfigVideo, &settings, sizeof(settings));
        StartSdkStream(settings.stream == 1);
    }
    // An unknown level leaves the stream stopped, and is still acknowledged.
    if (!m_RelayConn.IsConnected())
        return 0;
    char text[kAckBufferSize];
    if (FormatVideoQualityAck(text, sizeof(text), level.c_str()) < 0)
        return 0;
    return m_RelayConn.QueueText(text, kClaimAnswer);
}

int32_t CameraChannel::StartSdkStream(bool mainStream)
{
    HI_NET_DEV_SetStreamCallBack(m_hDev, &CameraChannel::OnStreamData, this);
    StreamStartRecord record;
    memset(&record, 0, sizeof(record));
    record.channel = kStreamChannel;
    record.stream = mainStream ? 1 : 0;
    record.mode = kStreamMode;
    record.mask = kStreamContentMask;
    return HI_NET_DEV_StartStream(m_hDev, &record) == 0 ? 1 : 0;
}

void CameraChannel::StopSdkStream()
{
    HI_NET_DEV_StopStream(m_hDev);
    // Cleared once no callback of the stopped stream can run any more, so a
    // late frame or stream information cannot bring old values back.
    m_Width.store(0);
    m_Height.store(0);
    m_FrameSeq.store(0);
}

int CameraChannel::OnStreamData(unsigned int handle, unsigned int dataType, unsigned char *data,
                                unsigned int length, void *userData)
{
    (void)handle;
    CameraChannel *self = static_cast<CameraChannel *>(userData);
    if (self == nullptr || data == nullptr)
        return 0;
    if (dataType == kSdkStreamFrame) {
        if (length < kSdkFrameHeaderSize) {
            SayShortBlockOnce(g_ShortFrameSaid, dataType, length, kSdkFrameHeaderSize);
            return 0;
        }
        if (ReadWordLE(data) != kSdkFrameMagic)
            return 0;
        uint32_t n = ReadWordLE(data + 4);
        uint64_t implied = kSdkFrameHeaderSize + static_cast<uint64_t>(n);
        if (length < implied) {
            SayShortBlockOnce(g_ShortFrameSaid, dataType, length, implied);
            return 0;
        }
        self->ForwardFrame(data + kSdkFrameHeaderSize, n, ReadWordLE(data + 12) == kSdkKeyFrameType,
                           ReadWordLE(data + 8));
    } else if (dataType == kSdkStreamInfo) {
        if (length < kStreamInfoSize) {
            SayShortBlockOnce(g_ShortInfoSaid, dataType, length, kStreamInfoSize);
            return 0;
        }
        self->m_Width.store(ReadWordLE(data + 4));
        self->m_Height.store(ReadWordLE(data + 8));
    }
    return 0;
}

void CameraChannel::NoteCameraKeyFrame()
{
    // Two in a row that nobody asked for show the camera's own rhythm
    // (which a key frame asked for may or may not shift).
    if (m_KeyAsked.exchange(false))
        return;
    int64_t now = MonotonicMs();
    int64_t last = m_LastOwnKeyMs.exchange(now);
    if (last != 0)
        m_OwnKeyIntervalMs.store(now - last);
}

int64_t CameraChannel::OwnKeyFrameInMs(int64_t now) const
{
    int64_t interval = m_OwnKeyIntervalMs.load();
    int64_t last = m_LastOwnKeyMs.load();
    if (interval <= 0 || last == 0)
        return 0;
    int64_t left = last + interval - now;
    return left > 0 ? left : 0;
}

void CameraChannel::ForwardFrame(const unsigned char *payload, uint32_t n, bool keyFrame,
                                 uint32_t timeStamp)
{
    // Counted for the whole step, so the relay thread can wait for it to
    // end before it connects (see ConnectRelay).
    ForwarderScope scope(m_ForwardersInFlight);
    if (m_Width.load() == 0 || m_Height.load() == 0 || !m_Forwarding.load())
        return;
    NoteCameraFrame(n, keyFrame);
    // Readiness first: once it reads true, the key-frame demand that the
    // relay thread raised before setting it is visible too.
    bool linkReady = m_LinkReady.load();
    if (m_NeedKeyFrame.load() && !keyFrame) {
        if (m_UplinkSkipping.load() && linkReady && m_RelayConn.IsConnected())
            m_UplinkSkipped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // A frame that cannot be queued still uses up its number.
    uint32_t sequence = m_FrameSeq.fetch_add(1) + 1;
    int queued = 0;
    // Until the relay login is queued the link counts as down.
    if (linkReady && n <= static_cast<uint32_t>(INT32_MAX - kVideoPacketOverhead))
        queued = m_RelayConn.QueueVideoFrame(m_Width.load(), m_Height.load(), sequence, kRelayStreamKind,
                                             keyFrame, payload, static_cast<int32_t>(n), timeStamp);
    m_NeedKeyFrame.store(queued == 0);
    NoteUplinkSkipping(queued == 0 && linkReady && m_RelayConn.IsConnected());
    m_Status.CountFrame(queued != 0, keyFrame);
}

void CameraChannel::NoteCameraFrame(uint32_t n, bool keyFrame)
{
    // The video's own rate, skipped frames included: what the uplink
    // would have to carry.
    bool fits = n <= static_cast<uint32_t>(INT32_MAX - kVideoPacketOverhead);
    m_RelayConn.NoteVideoHanded(fits ? static_cast<int32_t>(n) + kVideoPacketOverhead : INT32_MAX, keyFrame);
    if (keyFrame)
        NoteCameraKeyFrame();
}

void CameraChannel::NoteUplinkSkipping(bool skipping)
{
    // Refused on a link that is up: the uplink could not take it. The relay
    // thread, which may be asleep with nothing to send, then sees to a key
    // frame.
    if (m_UplinkSkipping.exchange(skipping) != skipping && skipping)
        m_RelayConn.Wake();
}
