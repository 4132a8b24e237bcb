#include "records/agent_settings.h"
#include "logic/server_logic.h"
#include "protocol/templates.h"
#include "runtime/clock.h"

namespace {
const size_t kRefusalBufferSize = 256;
const char kStatusAccepted[] = "1";
const char kStatusRetryLater[] = "-2";

void StoreLoginAnswer(const MessageFields &fields)
{
    AgentSettings &settings = AgentSettings::instance();
    settings.m_Version = fields.Get("Version");
    settings.m_SysTime = fields.Get("sysTime");
    settings.m_UpdateUrl = fields.Get("updateUrl");
    settings.m_UploadUrl.Set(fields.Get("uploadUrl"));
}

void StoreUserMessage(const MessageFields &fields)
{
    AgentSettings &settings = AgentSettings::instance();
    settings.m_UserId.Set(fields.Get("userId"));
    settings.m_NodeId.Set(fields.Get("nodeId"));
    settings.m_NodeName.Set(fields.Get("nodeName"));
}
}  // namespace

void LogicMessageHandler(const char *body, int32_t length, void *context)
{
    // An empty frame has not even a kind byte: nothing to read.
    if (context == nullptr || length <= 0)
        return;
    static_cast<CServerLogic *>(context)->HandleMessage(
        std::string(body + 1, static_cast<size_t>(length - 1)));
}

void CServerLogic::HandleMessage(const std::string &text)
{
    ParsedMessage message = ParseMessage(text);
    const MessageFields &fields = message.m_Fields;
    switch (message.m_MsgType) {
    case 1: {
        const std::string &status = fields.Get("status");
        if (status == kStatusAccepted) {
            StoreLoginAnswer(fields);
            m_LogicBackoff.Reset();
            m_OutageLookupTimed = false;
        } else if (status == kStatusRetryLater) {
            m_LoginRetryTime = MonotonicNowMs();
            PostEvent(NotifyEvent(kEventLoginRetry));
        }
        break;
    }
    case 2:
        StoreUserMessage(fields);
        break;
    case 3:
        ApplyCameraLists(fields);
        break;
    case 16: {
        // Values too long for the answer's 256 bytes get no answer rather
        // than a cut one.
        char answer[kRefusalBufferSize];
        if (FormatLogicRefusal(answer, sizeof(answer), fields.Get("msgId").c_str(),
                               fields.Get("socketId").c_str(), fields.Get("msgType").c_str(),
                               fields.Get("cameraId").c_str()) >= 0)
            m_LogicConn.QueueText(answer);
        break;
    }
    default:
        break;
    }
    m_LastRecvTime = MonotonicNowMs();
    m_Status.NoteMessage();
}
