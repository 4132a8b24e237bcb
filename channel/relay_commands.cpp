#include <stddef.h>
#include <string.h>

#include <deque>
#include <string>
#include <utility>

#include "records/agent_settings.h"
#include "channel/camera_channel.h"
#include "protocol/templates.h"
#include "runtime/bounded_format.h"
#include "runtime/clock.h"
#include "runtime/thread_name.h"
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
const int kCommandSpacingMs = 100;  // at least this long between two commands

// Commands are grouped by what they change: a later command of a kind
// makes an earlier one of the same kind moot, except for PTZ movements,
// which add up and are only ever dropped oldest first.
int CommandKind(int32_t msgType)
{
    switch (msgType) {
    case kRelayStartForwarding:
    case kRelayStopForwarding:
        return kRelayStartForwarding;
    case kRelayPtz:
    case kRelayAnswer10:
    case kRelayAnswer12:
    case kRelayVideoQuality:
    case kRelayStatusQuery:
    case kRelaySetTime:
        return msgType;
    default:
        return -1;  // nothing the command thread would act on
    }
}

// Index of the command to give way when the backlog is full: the oldest
// command that a later one of its kind makes moot, or else the oldest PTZ
// movement. The newest movement never gives way: it may be the stop that
// keeps the camera from turning to its end stop. A full backlog holds one
// of the two, since there are far fewer kinds than places. One pass from
// the newest command back, since a flooding relay server fills the backlog
// on every command it sends.
size_t CommandToDrop(const std::deque<ParsedMessage> &queue)
{
    uint32_t laterKinds = 0;  // bit k: a command of kind k follows (kinds are 2 to 18)
    size_t oldestMoot = queue.size();
    size_t oldestMovement = queue.size();
    for (size_t i = queue.size(); i-- > 0;) {
        int32_t k = CommandKind(queue[i].m_MsgType);
        uint32_t kind = k >= 0 ? 1u << k : 0;
        if ((laterKinds & kind) != 0) {
            if (queue[i].m_MsgType == kRelayPtz)
                oldestMovement = i;
            else
                oldestMoot = i;
        }
        laterKinds |= kind;
    }
    if (oldestMoot < queue.size())
        return oldestMoot;
    return oldestMovement < queue.size() ? oldestMovement : 0;
}

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
        ParsedMessage message = ParseMessage(body + 1, static_cast<size_t>(length - 1));
        if (CommandKind(message.m_MsgType) != -1)
            self->QueueCommand(std::move(message));
    }
    // Whatever it held, the packet shows the relay server is alive.
    self->m_RelayRecvTime.store(MonotonicNowMs());
}

void CameraChannel::QueueCommand(ParsedMessage message)
{
    bool wake;
    {
        MutexGuard guard(m_CommandLock);
        wake = m_CommandThreadIdle;
        m_CommandThreadIdle = false;
        // A relay server may send faster than commands are carried out;
        // the backlog stays bounded without losing what changes state.
        if (m_CommandQueue.size() >= kMaxQueuedCommands) {
            m_CommandQueue.erase(m_CommandQueue.begin() +
                                 static_cast<std::ptrdiff_t>(CommandToDrop(m_CommandQueue)));
            Count(m_Status.m_CommandsSkipped);
        }
        m_CommandQueue.push_back(std::move(message));
    }
    // A thread in its pause between commands is left to finish it: it
    // looks at the queue again when the pause ends.
    if (wake)
        m_CommandSignal.Post();
}

int CameraChannel::CommandLoop(void *channel)
{
    static_cast<CameraChannel *>(channel)->RunCommandLoop();
    return 0;
}

void CameraChannel::RunCommandLoop()
{
    char name[16];
    FormatBounded(name, sizeof(name), "ca-command%d", static_cast<int>(m_Index));
    NameThisThread(name);
    while (m_CommandThread.IsRunning() && !m_StopRequested.load()) {
        if (CommandStep(this) != 0)
            PauseCommands(kCommandSpacingMs);
        else if (AwaitCommands())
            m_CommandSignal.Wait(-1);
    }
}

// True, with the thread marked idle, when the queue is empty; checked and
// marked under one lock so that a command queued in between still wakes it.
bool CameraChannel::AwaitCommands()
{
    MutexGuard guard(m_CommandLock);
    m_CommandThreadIdle = m_CommandQueue.empty();
    return m_CommandThreadIdle;
}

void CameraChannel::PauseCommands(int ms)
{
    // Commands that arrive meanwhile wait their turn; only the stop ends
    // the pause early.
    int64_t end = MonotonicMs() + ms;
    for (;;) {
        int64_t left = end - MonotonicMs();
        if (left <= 0 || m_StopRequested.load())
            return;
        m_CommandSignal.Wait(static_cast<int>(left));
    }
}

int CameraChannel::CommandStep(void *channel)
{
    CameraChannel *self = static_cast<CameraChannel *>(channel);
    ParsedMessage command;
    {
        MutexGuard guard(self->m_CommandLock);
        if (self->m_CommandQueue.empty())
            return 0;
        command = std::move(self->m_CommandQueue.front());
        self->m_CommandQueue.pop_front();
    }
    Count(self->m_Status.m_CommandsDone);
    self->CarryOut(command);
    return 1;
}

void CameraChannel::CarryOut(const ParsedMessage &command)
{
    switch (command.m_MsgType) {
    case kRelayStartForwarding:
        m_Forwarding.store(true);
        m_Status.SetForwarding(true);
        m_KeyAsked.store(true);  // not the camera's own rhythm
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
        m_RelayConn.QueueText(kRelayAck10Text, kClaimAnswer);
        break;
    case kRelayAnswer12:
        m_RelayConn.QueueText(kRelayAck12Text, kClaimAnswer);
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
