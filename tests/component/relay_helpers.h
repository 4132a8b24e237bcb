// Helpers shared by the camera channel tests: owners that record what a
// channel tells them, SDK stream blocks, relay texts and polling waits.
#ifndef TESTS_COMPONENT_RELAY_HELPERS_H
#define TESTS_COMPONENT_RELAY_HELPERS_H

#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/camera_channel.h"
#include "channel/camera_notify.h"
#include "protocol/templates.h"

namespace relay_test {

// Polls `done` every few milliseconds until it holds or timeoutMs passed.
inline bool Eventually(const std::function<bool()> &done, int timeoutMs = 3000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Records every camera state the channel reports, as "id=active".
class RecordingOwner : public ICameraNotify {
public:
    void notify(const NotifyEvent &event) override
    {
        std::function<void(const std::string &)> hook;
        {
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Events.push_back(event.fields.Get("cameraId") + "=" + event.fields.Get("active"));
            m_Kinds.push_back(event.kind);
            m_Sizes.push_back(event.fields.Size());
            hook = m_OnNotify;
        }
        if (hook)
            hook(event.fields.Get("active"));
    }
    // Runs on the relay thread with each event's "active" value, right
    // after the link's state changed.
    void OnNotify(std::function<void(const std::string &)> hook)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_OnNotify = hook;
    }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_Events;
    }
    bool AllWellFormed()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        for (size_t i = 0; i < m_Kinds.size(); ++i)
            if (m_Kinds[i] != kEventCameraState || m_Sizes[i] != 2)
                return false;
        return true;
    }

private:
    std::mutex m_Lock;
    std::vector<std::string> m_Events;
    std::vector<int32_t> m_Kinds;
    std::vector<size_t> m_Sizes;
    std::function<void(const std::string &)> m_OnNotify;
};

inline NotifyEvent RelayRequest(const std::string &id, const std::string &host, const std::string &port)
{
    NotifyEvent event(kEventRelayRequest);
    event.fields.Set("sxtId", id);
    event.fields.Set("transIp", host);
    event.fields.Set("transPort", port);
    return event;
}

// The relay login the channel sends for `id`.
inline std::string LoginFor(const std::string &id)
{
    char text[256];
    FormatRelayLogin(text, sizeof(text), id.c_str(), kRelayPassword);
    return text;
}

// Any request of another kind is taken and ignored: it only makes the
// relay loop run a pass now.
inline void Nudge(CameraChannel &channel) { channel.PostRelayRequest(NotifyEvent(0)); }

// Runs passes until the loop has taken every request: after a second nudge
// is taken, the pass of the first has ended.
inline bool SettlePasses(CameraChannel &channel)
{
    for (int i = 0; i < 2; ++i) {
        Nudge(channel);
        if (!Eventually([&] { return channel.PendingRequestCount() == 0; }))
            return false;
    }
    return true;
}

inline void PutLe32(std::vector<unsigned char> *out, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        (*out)[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

// One SDK media frame: "HXVF", payload length, time stamp, frame type.
inline std::vector<unsigned char> SdkFrame(const std::vector<unsigned char> &payload, bool key,
                                           uint32_t timeStamp = 0, uint32_t claimedLength = UINT32_MAX)
{
    std::vector<unsigned char> block(16 + payload.size());
    block[0] = 'H';
    block[1] = 'X';
    block[2] = 'V';
    block[3] = 'F';
    PutLe32(&block, 4, claimedLength == UINT32_MAX ? static_cast<uint32_t>(payload.size()) : claimedLength);
    PutLe32(&block, 8, timeStamp);
    PutLe32(&block, 12, key ? 1 : 2);
    std::copy(payload.begin(), payload.end(), block.begin() + 16);
    return block;
}

inline void DeliverFrame(CameraChannel &channel, const std::vector<unsigned char> &payload, bool key,
                         uint32_t timeStamp = 0)
{
    std::vector<unsigned char> block = SdkFrame(payload, key, timeStamp);
    CameraChannel::OnStreamData(7, 0, block.data(), static_cast<unsigned int>(block.size()), &channel);
}

inline void DeliverStreamInfo(CameraChannel &channel, uint32_t width, uint32_t height)
{
    std::vector<unsigned char> block(32, 0);
    PutLe32(&block, 4, width);
    PutLe32(&block, 8, height);
    CameraChannel::OnStreamData(7, 1, block.data(), static_cast<unsigned int>(block.size()), &channel);
}

// A relay server's message text.
inline std::string RelayText(int type, const std::string &params = "")
{
    std::string text = AGENT_ENVELOPE_HEAD + std::to_string(type) + ",";
    if (!params.empty())
        text += "\"params\":{" + params + "},";
    return text + "\"version\":1}";
}

// Hands a relay text to the channel as its connection would.
inline void ReceiveText(CameraChannel &channel, const std::string &text)
{
    std::string body = "0" + text + std::string(1, '\0');
    CameraChannel::OnRelayPacket(body.data(), static_cast<int32_t>(body.size()), &channel);
}

}  // namespace relay_test

#endif
