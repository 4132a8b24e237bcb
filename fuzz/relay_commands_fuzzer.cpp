// Relay packets on arbitrary bytes: CameraChannel::OnRelayPacket for each
// packet, then CommandStep until the command queue is empty, with the SDK
// test double standing in for the camera. One channel for the whole run,
// its relay link up to a loopback peer in a private network namespace, so
// the acknowledgements, status reports and quality echoes really go out.
//
// Input: packets separated by 0xFF bytes, each a frame body as the relay
// connection hands it over (kind byte, then the text).
//
// Checks: everything the channel sends is a well-formed text frame whose
// text fits its 256-byte buffer; every clock setting handed to the SDK is
// shorter than its 32-byte record; the channel stays usable.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channel/camera_channel.h"
#include "fuzz/fuzz_support.h"
#include "runtime/clock.h"
#include "tests/support/sdk_double.h"

namespace {

CameraChannel *g_Channel = nullptr;
int g_Listener = -1;
int g_Peer = -1;
std::string g_PeerBytes;

void StopAll()
{
    delete g_Channel;
    g_Channel = nullptr;
}

// Takes a new relay link (the first, or one after a reconnect) and reads
// what the channel sent; every frame must be a complete text frame.
void CheckSent()
{
    int fresh = fuzz::AcceptWithin(g_Listener, 0);
    if (fresh >= 0) {
        if (g_Peer >= 0)
            close(g_Peer);
        g_Peer = fresh;
        g_PeerBytes.clear();
    }
    if (g_Peer < 0)
        return;
    if (!fuzz::DrainSocket(g_Peer, &g_PeerBytes)) {
        close(g_Peer);
        g_Peer = -1;
        g_PeerBytes.clear();
        return;
    }
    while (g_PeerBytes.size() >= 4) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(g_PeerBytes.data());
        uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        FUZZ_CHECK(length >= 2 && length <= 257, "relay frame of %u bytes", length);
        if (g_PeerBytes.size() < 4 + length)
            break;
        FUZZ_CHECK(g_PeerBytes[4] == '0' && g_PeerBytes[4 + length - 1] == '\0',
                   "relay frame is not a text frame");
        std::string text = g_PeerBytes.substr(5, length - 2);
        FUZZ_CHECK(strlen(text.c_str()) == text.size(), "NUL inside a sent text");
        g_PeerBytes.erase(0, 4 + length);
    }
}

void CheckJournal()
{
    for (const std::string &line : sdk_double::JournalMatching("SetConfig 4119 ")) {
        size_t n = line.size() - strlen("SetConfig 4119 ");
        FUZZ_CHECK(n < 32, "clock text of %zu characters for a 32-byte record", n);
    }
    sdk_double::ClearJournal();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::IsolateNetwork(true);
    sdk_double::Reset();
    uint16_t port = 0;
    g_Listener = fuzz::ListenLoopback(&port);
    g_Channel = new CameraChannel(nullptr, 0, sdk_double::Current().handle);
    NotifyEvent request(kEventRelayRequest);
    request.fields.Set("sxtId", "fuzzcam");
    request.fields.Set("transIp", "127.0.0.1");
    request.fields.Set("transPort", std::to_string(port));
    g_Channel->PostRelayRequest(request);
    g_Peer = fuzz::AcceptWithin(g_Listener, 5000);
    FUZZ_CHECK(g_Peer >= 0, "the relay link did not come up");
    for (int i = 0; i < 5000 && !g_Channel->IsRelayConnected(); ++i)
        SleepMs(1);
    FUZZ_CHECK(g_Channel->IsRelayConnected(), "the relay link is not connected");
    atexit(StopAll);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    for (const std::string &packet : fuzz::SplitAt(input, '\xFF')) {
        // Exactly the packet's bytes, so a read past them is seen.
        fuzz::ExactBuffer body(packet);
        CameraChannel::OnRelayPacket(body.data(), static_cast<int32_t>(body.size()), g_Channel);
    }
    // The channel's own command thread may take some of them too.
    for (int i = 0; i < 100000 && g_Channel->PendingCommandCount() > 0; ++i)
        CameraChannel::CommandStep(g_Channel);
    FUZZ_CHECK(g_Channel->PendingCommandCount() == 0, "commands do not drain");
    CheckSent();
    CheckJournal();
    return 0;
}
