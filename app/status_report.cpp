#include "app/status_report.h"

#include "runtime/bounded_format.h"
#include "runtime/clock.h"

namespace {
const size_t kLineSize = 512;
const size_t kTextLimit = 64; // longest address or relay id shown

const char *LinkStateName(LinkState state)
{
    switch (state) {
    case kLinkConnected:
        return "connected";
    case kLinkDisconnected:
        return "disconnected";
    default:
        return "unassigned";
    }
}

const char *UploadName(UploadOutcome outcome)
{
    switch (outcome) {
    case kUploadOk:
        return "ok";
    case kUploadFailed:
        return "failed";
    default:
        return "none";
    }
}

// Whole seconds from a mark to now, or "-" when it was never taken.
struct Seconds {
    Seconds(const TimeMark &mark, int32_t now)
    {
        int32_t at = 0;
        if (!mark.Get(&at) || FormatBounded(text, sizeof(text), "%u", ElapsedMs(now, at) / 1000) < 0)
            FormatBounded(text, sizeof(text), "-");
    }
    char text[16];
};

// A server's text on one line: "-" when empty, blanks and control bytes as
// '?', cut with "..." when long.
std::string Shown(const std::string &text)
{
    if (text.empty())
        return "-";
    std::string shown = text.substr(0, kTextLimit);
    for (size_t i = 0; i < shown.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(shown[i]);
        if (c <= ' ' || c >= 0x7F)
            shown[i] = '?';
    }
    if (text.size() > kTextLimit)
        shown += "...";
    return shown;
}

void AppendLogic(std::string *out, const LogicStatus &logic, int32_t now)
{
    char line[kLineSize];
    Seconds since(logic.m_Link.SinceMark(), now);
    Seconds message(logic.m_LastMessage, now);
    if (FormatBounded(line, sizeof(line),
                      "logic: %s %s since %s s, last message %s s ago, heartbeats %u, logins %u\n",
                      LinkStateName(logic.m_Link.State()), Shown(logic.m_Server.Get()).c_str(), since.text,
                      message.text, Read(logic.m_Heartbeats), Read(logic.m_Logins)) > 0)
        *out += line;
}

void AppendChannel(std::string *out, int32_t index, const ChannelStatus &channel, int32_t now,
                   int32_t quality)
{
    char line[kLineSize];
    Seconds since(channel.m_Relay.SinceMark(), now);
    Seconds keyFrame(channel.m_LastKeyFrame, now);
    char delay[16] = "-";
    int32_t delayMs = channel.m_LastFrameDelayMs.load(std::memory_order_relaxed);
    if (delayMs >= 0)
        FormatBounded(delay, sizeof(delay), "%d", static_cast<int>(delayMs));
    if (FormatBounded(line, sizeof(line),
                      "channel %d: relay %s %s id %s since %s s, forwarding %s, quality %d, frames %u sent "
                      "%u dropped, last key frame %s s ago, commands %u done %u skipped, uplink %u frames "
                      "dropped, %u key frames asked, last frame sent after %s ms, %u kbit/s measured\n",
                      static_cast<int>(index), LinkStateName(channel.m_Relay.State()),
                      Shown(channel.m_RelayServer.Get()).c_str(), Shown(channel.m_SxtId.Get()).c_str(),
                      since.text, channel.m_Forwarding.load(std::memory_order_relaxed) ? "on" : "off",
                      static_cast<int>(quality), Read(channel.m_FramesSent), Read(channel.m_FramesDropped),
                      keyFrame.text, Read(channel.m_CommandsDone), Read(channel.m_CommandsSkipped),
                      Read(channel.m_UplinkDropped), Read(channel.m_KeyFramesAsked), delay,
                      channel.m_UplinkRate.load(std::memory_order_relaxed) * 8 / 1000) > 0)
        *out += line;
}
} // namespace

std::string FormatStatusReport(const AgentStatus &status, int32_t now, int32_t channelCount, int32_t quality)
{
    std::string out = "cloud-agent status\n";
    char line[kLineSize];
    if (FormatBounded(line, sizeof(line), "uptime: %u s\n", ElapsedMs(now, status.m_StartTime) / 1000) > 0)
        out += line;
    AppendLogic(&out, status.m_Logic, now);
    if (channelCount > kMaxStatusChannels)
        channelCount = kMaxStatusChannels;
    for (int32_t i = 0; i < channelCount; ++i)
        AppendChannel(&out, i, status.Channel(i), now, quality);
    const AlarmStatus &alarms = status.m_Alarms;
    if (FormatBounded(line, sizeof(line),
                      "alarms: %u seen, %u rate-limited, %u uploaded, %u reported, last upload %s\n",
                      Read(alarms.m_Seen), Read(alarms.m_RateLimited), Read(alarms.m_Uploaded),
                      Read(alarms.m_Reported), UploadName(alarms.LastUpload())) > 0)
        out += line;
    if (FormatBounded(line, sizeof(line), "discovery: %u answers, %u probes unanswered\n",
                      Read(status.m_DiscoveryAnswers), Read(status.m_DiscoveryUnanswered)) > 0)
        out += line;
    return out;
}
