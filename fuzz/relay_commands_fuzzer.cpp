// Relay packets on arbitrary bytes, in memory: CameraChannel::OnRelayPacket
// for each packet, as the relay connection's receive step calls it, then
// CommandStep until the command queue is empty, with the SDK test double
// standing in for the camera. One channel for the whole run, its relay link
// never up: no socket and no relay server, so an input costs what the
// parsing, the backlog and the commands cost and nothing else. (The relay
// link's framing has its own target, tcp_framing; the acknowledgements on a
// real link are covered by the channel's tests.) The channel's command
// thread sleeps 100 ms after each command it takes, so nearly every command
// is carried out here, on the fuzzer's thread.
//
// Input: packets separated by 0xFF bytes, each a frame body as the relay
// connection hands it over (kind byte, then the text).
//
// Checks: the backlog never holds more than its bound; every clock setting
// handed to the SDK is shorter than its 32-byte record; the echo of a
// quality request fits its 256-byte buffer or is refused, never cut into a
// text with a NUL inside; the channel stays usable.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "channel/camera_channel.h"
#include "fuzz/fuzz_support.h"
#include "protocol/message.h"
#include "protocol/templates.h"
#include "tests/support/sdk_double.h"

namespace {

CameraChannel *g_Channel = nullptr;

void StopAll()
{
    delete g_Channel;
    g_Channel = nullptr;
}

void CheckJournal()
{
    for (const std::string &line : sdk_double::JournalMatching("SetConfig 4119 ")) {
        size_t n = line.size() - strlen("SetConfig 4119 ");
        FUZZ_CHECK(n < 32, "clock text of %zu characters for a 32-byte record", n);
    }
    sdk_double::ClearJournal();
}

// What the channel would echo for a quality request on a live link.
void CheckQualityEcho(const char *body, size_t length)
{
    // Without the key the echo carries an empty level: nothing to check.
    static const char kKey[] = "ViedoQP";
    if (length == 0 || body[0] != '0' || memmem(body, length, kKey, sizeof(kKey) - 1) == nullptr)
        return;
    ParsedMessage message = ParseMessage(body + 1, length - 1);
    if (message.m_MsgType != 16)
        return;
    char text[256];
    std::string level = message.m_Fields.Get("ViedoQP");
    int n = FormatVideoQualityAck(text, sizeof(text), level.c_str());
    if (n >= 0)
        FUZZ_CHECK(static_cast<size_t>(n) < sizeof(text) && strlen(text) == static_cast<size_t>(n),
                   "quality echo of %d characters", n);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sdk_double::Reset();
    g_Channel = new CameraChannel(nullptr, 0, sdk_double::Current().handle);
    atexit(StopAll);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    // Each packet is laid at the end of one buffer of the input's size, so
    // that a read past it is seen.
    fuzz::ExactBuffer buffer(text, size);
    size_t start = 0;
    while (start <= size) {
        const void *cut = memchr(text + start, 0xFF, size - start);
        size_t end = cut != nullptr ? static_cast<size_t>(static_cast<const char *>(cut) - text) : size;
        size_t length = end - start;
        char *body = buffer.data() + size - length;
        memmove(body, text + start, length);
        CameraChannel::OnRelayPacket(body, static_cast<int32_t>(length), g_Channel);
        FUZZ_CHECK(g_Channel->PendingCommandCount() <= kMaxQueuedCommands, "%zu commands wait",
                   g_Channel->PendingCommandCount());
        CheckQualityEcho(body, length);
        start = end + 1;
    }
    for (int i = 0; i < 100000 && g_Channel->PendingCommandCount() > 0; ++i)
        CameraChannel::CommandStep(g_Channel);
    FUZZ_CHECK(g_Channel->PendingCommandCount() == 0, "commands do not drain");
    CheckJournal();
    return 0;
}
