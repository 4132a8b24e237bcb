// The receive framing of TcpConnection fed arbitrary byte streams over a
// real loopback connection (in a private network namespace).
//
// Input layout:
//   byte 0, low 4 bits: n, the number of chunk-size bytes that follow;
//   n bytes: the sizes of the first n writes (b up to 200 is b bytes, above
//   that (b - 200) * 4096, and 0 is 262144); the rest of the stream follows
//   in writes of 65536 bytes;
//   the rest: the stream, written as it stands except for the escape
//   0xFE L0 L1 L2 L3 F, which writes the little-endian length L0..L3 and
//   then min(L, 262144) bytes of F, so that frames near the 262140-byte
//   limit need no large inputs.
//
// Every frame handed to the callback must be at most 262140 bytes and the
// frames must be exactly those the stream holds, in order; a length above
// 262140 must close the connection, and so must the peer's close at the end.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/tcp_connection.h"

namespace {

const uint8_t kEscape = 0xFE;

TcpConnection *g_Conn = nullptr;
int g_Listener = -1;
uint16_t g_Port = 0;
std::vector<std::string> g_Frames;
bool g_InPoll = false;

void OnFrame(const char *body, int32_t length, void *context)
{
    FUZZ_CHECK(context == &g_Frames, "wrong context");
    FUZZ_CHECK(g_InPoll, "callback outside PollReceive");
    FUZZ_CHECK(length >= 0 && length <= 262140, "frame of %d bytes", length);
    FUZZ_CHECK(length == 0 || body != nullptr, "null body");
    // Copying reads every byte of the frame.
    g_Frames.push_back(std::string(body, static_cast<size_t>(length)));
}

uint32_t Le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Expand(const uint8_t *data, size_t size)
{
    std::string stream;
    size_t i = 0;
    while (i < size) {
        if (data[i] == kEscape && size - i >= 6) {
            uint32_t length = Le32(data + i + 1);
            stream.append(reinterpret_cast<const char *>(data + i + 1), 4);
            stream.append(length < 262144u ? length : 262144u, static_cast<char>(data[i + 5]));
            i += 6;
        } else {
            stream.push_back(static_cast<char>(data[i]));
            ++i;
        }
    }
    return stream;
}

struct Expected {
    std::vector<std::string> frames;
    bool oversize = false;
};

Expected FramesIn(const std::string &stream)
{
    Expected out;
    size_t pos = 0;
    while (stream.size() - pos >= 4) {
        uint32_t length = Le32(reinterpret_cast<const uint8_t *>(stream.data() + pos));
        if (length > 262140u) {
            out.oversize = true;
            break;
        }
        if (stream.size() - pos - 4 < length)
            break;
        out.frames.push_back(stream.substr(pos + 4, length));
        pos += 4 + length;
    }
    return out;
}

void Poll(int timeoutUs)
{
    g_InPoll = true;
    g_Conn->PollReceive(timeoutUs);
    g_InPoll = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::IsolateNetwork(true);
    g_Listener = fuzz::ListenLoopback(&g_Port);
    g_Conn = new TcpConnection();
    g_Conn->Setup(256, 1, OnFrame, &g_Frames);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    size_t sizeCount = data[0] & 0x0F;
    if (size < 1 + sizeCount)
        return 0;
    std::vector<size_t> chunks;
    for (size_t i = 0; i < sizeCount; ++i) {
        size_t b = data[1 + i];
        chunks.push_back(b == 0 ? 262144 : b <= 200 ? b : (b - 200) * 4096);
    }
    std::string stream = Expand(data + 1 + sizeCount, size - 1 - sizeCount);
    Expected expected = FramesIn(stream);

    g_Frames.clear();
    g_Conn->Close();
    FUZZ_CHECK(g_Conn->Connect("127.0.0.1", g_Port, 5) == 1, "cannot connect to the loopback listener");
    int peer = fuzz::AcceptWithin(g_Listener, 5000);
    FUZZ_CHECK(peer >= 0, "no connection to accept");

    // Write the stream in the given pieces, letting the connection take
    // them as they arrive; a connection that closed itself refuses the rest.
    size_t pos = 0;
    size_t next = 0;
    int idle = 0;
    while (pos < stream.size() && g_Conn->IsConnected()) {
        size_t want = next < chunks.size() ? chunks[next++] : 65536;
        if (want > stream.size() - pos)
            want = stream.size() - pos;
        size_t done = 0;
        while (done < want && g_Conn->IsConnected()) {
            ssize_t put = send(peer, stream.data() + pos + done, want - done, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (put > 0) {
                done += static_cast<size_t>(put);
                idle = 0;
            } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                FUZZ_CHECK(++idle < 100000, "the connection stopped taking bytes");
            } else {
                break;  // the connection reset: it closed itself
            }
            Poll(100);
        }
        if (done < want)
            break;
        pos += want;
        Poll(100);
    }

    // The peer's close must close the connection once every byte is read.
    close(peer);
    for (int i = 0; i < 20000 && g_Conn->IsConnected(); ++i)
        Poll(1000);
    FUZZ_CHECK(!g_Conn->IsConnected(), "still connected after the peer closed");

    FUZZ_CHECK(g_Frames.size() == expected.frames.size(), "%zu frames delivered, %zu in the stream",
               g_Frames.size(), expected.frames.size());
    for (size_t i = 0; i < g_Frames.size(); ++i)
        FUZZ_CHECK(g_Frames[i] == expected.frames[i], "frame %zu differs (%zu bytes, expected %zu)", i,
                   g_Frames[i].size(), expected.frames[i].size());
    return 0;
}
