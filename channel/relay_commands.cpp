#include <string.h>

#include <string>

#include "app/agent_settings.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "runtime/netlib.h"
#include "runtime/sdk_records.h"

namespace {
// Relay message types carried out on the command thread.
const int32_t kRelayStartForwarding = 2;
const int32_t kRelayStopForwarding = 3;
const int32_t kRelayPtz = 9;
const int32_t kRelayAnswer10 = 10;
const int32_t kRelayAnswer12 = 12;
const int32_t kRelayVideoQuality = 16;
const int32_t kRelayStatusQuery = 17;
const int32_t kRelaySetTime = 18;
// Commands are carried out ten a second; a relay server that sends faster
// than that for long is not heard beyond this backlog, so its commands
// cannot eat the camera's memory.
const size_t kMaxQueuedCommands = 32;

// Replaces the first `from` of the text with '.'; false when there is none.
bool ReplaceFirst(std::string *text, char from)
{
    size_t at = text->find(from);
    if (at == std::string::npos)
        return false;
    (*text)[at] = '.';
    return true;
}
}  // namespace

void CameraChannel::OnRelayPacket(const char *body, int32_t length, void *channel)
{
    CameraChannel *self = static_cast<CameraChannel *>(channel);
    if (self == nullptr)
        return;
    // Only text packets carry commands; an empty packet has no kind byte.
    if (body != nullptr && length > 0 && body[0] == '0') {
        ParsedMessage message = ParseMessage(std::string(body + 1, static_cast<size_t>(length - 1)));
        if (message.m_MsgType != -1) {
            MutexGuard guard(self->m_CommandLock);
            if (self->m_CommandQueue.size() < kMaxQueuedCommands)
                self->m_CommandQueue.push_back(message);
            else
                Count(self->m_Status.m_CommandsSkipped);
        }
    }
    // Whatever it held, the packet shows the relay server is alive.
    self->m_RelayRecvTime.store(NowMs());
}

int CameraChannel::CommandStep(void *channel)
{
    static_cast<CameraChannel *>(channel)->RunCommandStep();
    return 0;
}

void CameraChannel::RunCommandStep()
{
    ParsedMessage command;
    {
        MutexGuard guard(m_CommandLock);
        if (m_CommandQueue.empty())
            return;
        command = m_CommandQueue.front();
        m_CommandQueue.pop_front();
    }
    Count(m_Status.m_CommandsDone);
    switch (command.m_MsgType) {
    case kRelayStartForwarding:
        m_Forwarding.store(true);
        m_Status.SetForwarding(true);
        HI_NET_DEV_MakeKeyFrame(m_hDev, AgentSettings::instance().m_ViedoQP.load() > 3 ? kSdkSubStream
                                                                                      : kSdkMainStream);
        break;
    case kRelayStopForwarding:
        m_Forwarding.store(false);
        m_Status.SetForwarding(false);
        break;
    case kRelayPtz:
        PtzControl(DecimalValue(command.m_Fields.Get("PTZCommand")));
        break;
    case kRelayAnswer10:
        m_RelayConn.QueueText(kRelayAck10Text);
        break;
    case kRelayAnswer12:
        m_RelayConn.QueueText(kRelayAck12Text);
        break;
    case kRelayVideoQuality:
        ApplyVideoQuality(command.m_Fields.Get("ViedoQP"));
        break;
    case kRelayStatusQuery:
        SendRelayStatus();
        break;
    case kRelaySetTime:
        SetDeviceTime(command.m_Fields.Get("Time"));
        break;
    default:
        break;
    }
}

void CameraChannel::PtzControl(int32_t n)
{
    // The camera has the codes for 3 and 4 the other way round.
    unsigned int code;
    if (n == 3)
        code = kSdkPtzBase + 4;
    else if (n == 4)
        code = kSdkPtzBase + 3;
    else
        code = kSdkPtzBase + static_cast<unsigned int>(n);
    HI_NET_DEV_PTZ_Ctrl_StandardEx(m_hDev, code);
}

void CameraChannel::SetDeviceTime(const std::string &text)
{
    // "2015-06-01 12:30:45" -> "2015.06.01.12.30.45"; anything not shaped
    // like that sets nothing.
    std::string converted = text;
    const char order[] = {' ', '-', '-', ':', ':'};
    for (size_t i = 0; i < sizeof(order); ++i)
        if (!ReplaceFirst(&converted, order[i]))
            return;
    DeviceTimeRecord record;
    memset(&record, 0, sizeof(record));
    // The record keeps a terminating zero; a longer text is refused, not cut.
    if (converted.size() >= sizeof(record.text))
        return;
    memcpy(record.text, converted.data(), converted.size());
    HI_NET_DEV_SetConfig(m_hDev, kSdkConfigDeviceTime, &record, sizeof(record));
}
