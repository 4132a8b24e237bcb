#include "records/agent_settings.h"
#include "logic/logic_thread.h"
#include "protocol/message.h"
#include "protocol/templates.h"
#include "runtime/clock.h"

namespace {
const int kConnectTimeoutSec = 5;
const uint32_t kReadWindowMs = 2999;
const int kPollTimeoutUs = 100;

bool ConnectFirst(TcpConnection &directory, const char *const *hosts, size_t hostCount, unsigned int port)
{
    for (size_t i = 0; i < hostCount; ++i)
        if (directory.Connect(hosts[i], port, kConnectTimeoutSec) != 0)
            return true;
    return false;
}

// The window counts on the monotonic clock: NTP setting the clock while
// the answer is on its way must not end the wait early or stretch it.
void ReadAnswers(TcpConnection &directory)
{
    int32_t start = MonotonicNowMs();
    for (;;) {
        if (!directory.IsConnected())
            return;
        uint32_t elapsed = ElapsedMs(MonotonicNowMs(), start);
        if (elapsed > kReadWindowMs)
            return;
        directory.PollSend(kPollTimeoutUs);
        directory.PollReceive(kPollTimeoutUs);
        // A server that closes after its answer ends the window at once;
        // waiting on a closed connection would only sleep out the window.
        if (!directory.IsConnected())
            return;
        directory.Wait(static_cast<int>(kReadWindowMs - elapsed + 1));
    }
}
}  // namespace

void DirectoryReplyHandler(const char *body, int32_t length, void *)
{
    // An empty frame has not even a kind byte: nothing to read.
    if (length <= 0)
        return;
    ParsedMessage message = ParseMessage(body + 1, static_cast<size_t>(length - 1));
    if (message.m_MsgType != 1)
        return;
    AgentSettings &settings = AgentSettings::instance();
    settings.m_LogicServerIp = message.m_Fields.Get("LogicServerIp");
    settings.m_LogicServerPort = DecimalValue(message.m_Fields.Get("LogicServerPort"));
}

bool LookUpLogicServer(TcpConnection &directory, const char *const *hosts, size_t hostCount,
                       unsigned int port)
{
    AgentSettings &settings = AgentSettings::instance();
    settings.m_LogicServerIp.clear();
    settings.m_LogicServerPort = 0;
    if (directory.IsConnected())
        directory.Close();
    if (ConnectFirst(directory, hosts, hostCount, port))
        directory.QueueText(kDirectoryRequestText);
    ReadAnswers(directory);
    return !settings.m_LogicServerIp.empty() && settings.m_LogicServerPort > 0;
}

