// The logic command dispatcher and the camera assignment lists on arbitrary
// texts, with one session for the whole run, its logic connection up to a
// loopback peer and three camera channels (indexes 0, 1 and 2147483647).
// Everything runs in a private network namespace whose only listener is
// gone once the logic link is up, so the relay requests that the lists
// produce can reach nothing.
//
// Input: a frame body as the logic connection hands it over (kind byte,
// then the text), or, when the first byte is 'A', up to four lines that are
// given to ApplyCameraLists as "cameraIdList", "cameraIndexList",
// "transIpList" and "transPortList" (their values may then hold what no
// parsed message can: ',' and '}'), or, when the first byte is 'D', a frame
// body for the directory connection's reply handler.
//
// Checks: only a type 16 request is answered, with exactly the filled
// template when the echoed values fit the 256-byte answer, and never with a
// text the connection cannot carry; a login answer with status "-2" adds
// one retry event (until the session's bound on them) and nothing else adds
// one; a directory reply sets the logic server's address exactly when it is
// of type 1.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "records/agent_settings.h"
#include "channel/camera_channel.h"
#include "fuzz/fuzz_support.h"
#include "logic/logic_thread.h"
#include "logic/server_logic.h"
#include "protocol/message.h"
#include "protocol/templates.h"
#include "runtime/clock.h"
#include "tests/support/sdk_double.h"

namespace {

CServerLogic *g_Logic = nullptr;
std::vector<CameraChannel *> g_Channels;
int g_Peer = -1;
std::string g_PeerBytes;

const char *const kListKeys[] = {"cameraIdList", "cameraIndexList", "transIpList", "transPortList"};

void StopAll()
{
    // Channel threads must be gone before the process's statics are.
    if (g_Logic != nullptr) {
        MutexGuard guard(g_Logic->m_ChannelsLock);
        g_Logic->m_Channels.clear();
    }
    for (CameraChannel *channel : g_Channels)
        delete channel;
    g_Channels.clear();
    delete g_Logic;
    g_Logic = nullptr;
}

// The login retries waiting in the event queue. Nothing takes them in this
// process (the session's run loop never runs), so the queue shows how far
// a server that keeps answering "-2" can grow it: the session must bound it.
size_t RetryEvents()
{
    MutexGuard guard(g_Logic->m_EventLock);
    size_t retries = 0;
    for (const NotifyEvent &event : g_Logic->m_EventQueue)
        if (event.kind == kEventLoginRetry)
            ++retries;
    return retries;
}

// Lets the relay threads catch up, so that queued requests stay few.
void Throttle()
{
    for (CameraChannel *channel : g_Channels)
        for (int i = 0; i < 5000 && channel->PendingRequestCount() > 64; ++i)
            SleepMs(1);
}

// Sends what the session queued and returns the text frames the peer got.
std::vector<std::string> SentTexts(size_t frames)
{
    TcpConnection &conn = g_Logic->m_LogicConn;
    for (int i = 0; i < 10000 && (conn.QueuedCount() != 0 || !conn.IsSendIdle()); ++i)
        conn.PollSend(100);
    FUZZ_CHECK(conn.QueuedCount() == 0 && conn.IsSendIdle(), "the logic link does not drain");
    std::vector<std::string> texts;
    for (int i = 0; i < 10000 && texts.size() < frames; ++i) {
        FUZZ_CHECK(fuzz::DrainSocket(g_Peer, &g_PeerBytes), "the logic peer lost its link");
        while (g_PeerBytes.size() >= 4) {
            const unsigned char *p = reinterpret_cast<const unsigned char *>(g_PeerBytes.data());
            uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
            FUZZ_CHECK(length >= 2 && length <= static_cast<uint32_t>(kLogicSlotSize - 4),
                       "sent frame of %u bytes", length);
            if (g_PeerBytes.size() < 4 + length)
                break;
            std::string body = g_PeerBytes.substr(4, length);
            g_PeerBytes.erase(0, 4 + length);
            FUZZ_CHECK(body[0] == '0' && body[length - 1] == '\0', "sent frame is not a text frame");
            texts.push_back(body.substr(1, length - 2));
        }
        if (texts.size() < frames)
            SleepMs(1);
    }
    return texts;
}

void CheckDispatch(const std::string &text, size_t queuedBefore, size_t retriesBefore)
{
    ParsedMessage parsed = ParseMessage(text);
    TcpConnection &conn = g_Logic->m_LogicConn;
    size_t retries = RetryEvents();
    bool retry = parsed.m_MsgType == 1 && parsed.m_Fields.Get("status") == "-2";
    // One more retry, unless the session's bound on waiting retries is reached.
    if (retry)
        FUZZ_CHECK(retries == retriesBefore + 1 || (retries == retriesBefore && retries > 0),
                   "%zu retry events after %zu for a \"-2\" answer", retries, retriesBefore);
    else
        FUZZ_CHECK(retries == retriesBefore, "%zu retry events after %zu for type %d", retries, retriesBefore,
                   parsed.m_MsgType);
    FUZZ_CHECK(retries <= 100000, "%zu login retries wait in the event queue", retries);

    size_t queued = conn.QueuedCount() - queuedBefore;
    if (parsed.m_MsgType != 16) {
        FUZZ_CHECK(queued == 0, "type %d was answered", parsed.m_MsgType);
        return;
    }
    const MessageFields &f = parsed.m_Fields;
    // The values go out as C strings.
    std::string msgId = f.Get("msgId").c_str();
    std::string socketId = f.Get("socketId").c_str();
    std::string msgType = f.Get("msgType").c_str();
    std::string cameraId = f.Get("cameraId").c_str();
    std::string expected = std::string(AGENT_ENVELOPE_HEAD) + "16,\"params\":{\"msgId\":\"" + msgId +
                           "\",\"socketId\":\"" + socketId + "\",\"msgType\":\"" + msgType +
                           "\",\"status\":\"0\",\"cameraId\":\"" + cameraId +
                           "\",\"errorMsg\":\"device not support\"},\"version\":1}";
    bool fits = expected.size() <= 255;
    FUZZ_CHECK(queued <= 1, "%zu answers to one request", queued);
    if (fits)
        FUZZ_CHECK(queued == 1, "a request whose answer fits was not answered");
    std::vector<std::string> texts = SentTexts(queued);
    FUZZ_CHECK(texts.size() == queued, "%zu answers reached the peer, %zu queued", texts.size(), queued);
    if (queued == 1 && fits)
        FUZZ_CHECK(texts[0] == expected, "answer differs: %s", texts[0].c_str());
}


// The channels' relay threads allocate while an input runs, so libFuzzer's
// check after each input would see allocations without their frees and
// scan for leaks nearly every time (a millisecond each). Leaks are still
// found by the check at exit, which tears everything down first; a flag
// given on the command line overrides this default.
std::vector<char *> g_Args;

void LeakCheckAtExitOnly(int *argc, char ***argv)
{
    static char flag[] = "-detect_leaks=0";
    g_Args.assign(*argv, *argv + *argc);
    g_Args.insert(g_Args.begin() + (g_Args.empty() ? 0 : 1), flag);
    g_Args.push_back(nullptr);
    *argc = static_cast<int>(g_Args.size() - 1);
    *argv = g_Args.data();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    LeakCheckAtExitOnly(argc, argv);
    fuzz::IsolateNetwork(true);
    sdk_double::Reset();
    g_Logic = new CServerLogic();
    uint16_t port = 0;
    int listener = fuzz::ListenLoopback(&port);
    FUZZ_CHECK(g_Logic->m_LogicConn.Connect("127.0.0.1", port, 5) == 1, "logic link does not connect");
    g_Peer = fuzz::AcceptWithin(listener, 5000);
    FUZZ_CHECK(g_Peer >= 0, "logic link not accepted");
    close(listener);

    const int32_t indexes[] = {0, 1, 2147483647};
    for (int32_t index : indexes) {
        CameraChannel *channel = new CameraChannel(g_Logic, index, sdk_double::Current().handle);
        g_Channels.push_back(channel);
        MutexGuard guard(g_Logic->m_ChannelsLock);
        g_Logic->m_Channels[index] = channel;
    }
    // Registered after every static the threads use exists, so it runs
    // before their destructors.
    atexit(StopAll);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(g_Logic->m_LogicConn.IsConnected(), "the logic link closed");
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t queuedBefore = g_Logic->m_LogicConn.QueuedCount();
    size_t retriesBefore = RetryEvents();
    if (size > 0 && data[0] == 'A') {
        std::vector<std::string> lines = fuzz::SplitAt(input.substr(1), '\n');
        MessageFields fields;
        for (size_t i = 0; i < lines.size() && i < 4; ++i)
            fields.Set(kListKeys[i], lines[i]);
        g_Logic->ApplyCameraLists(fields);
        FUZZ_CHECK(RetryEvents() == retriesBefore, "the lists posted a retry event");
        FUZZ_CHECK(g_Logic->m_LogicConn.QueuedCount() == queuedBefore, "the lists sent something");
    } else if (size > 0 && data[0] == 'D') {
        AgentSettings &settings = AgentSettings::instance();
        settings.m_LogicServerIp = "\x01unchanged";
        settings.m_LogicServerPort = -7;
        fuzz::ExactBuffer body(input.substr(1));
        DirectoryReplyHandler(body.data(), static_cast<int32_t>(body.size()), nullptr);
        ParsedMessage parsed = ParseMessage(body.size() > 0 ? input.substr(2) : std::string());
        if (body.size() > 0 && parsed.m_MsgType == 1) {
            FUZZ_CHECK(settings.m_LogicServerIp == parsed.m_Fields.Get("LogicServerIp"), "address not taken");
            FUZZ_CHECK(settings.m_LogicServerPort == DecimalValue(parsed.m_Fields.Get("LogicServerPort")),
                       "port not taken");
        } else {
            FUZZ_CHECK(settings.m_LogicServerIp == "\x01unchanged" && settings.m_LogicServerPort == -7,
                       "a reply of type %d changed the address", parsed.m_MsgType);
        }
    } else {
        // Exactly the frame's bytes, so a read past them is seen.
        fuzz::ExactBuffer body(input);
        LogicMessageHandler(body.data(), static_cast<int32_t>(body.size()), g_Logic);
        if (size > 0)
            CheckDispatch(input.substr(1), queuedBefore, retriesBefore);
        else
            FUZZ_CHECK(RetryEvents() == retriesBefore, "an empty frame posted a retry event");
    }
    Throttle();
    sdk_double::ClearJournal();
    return 0;
}
