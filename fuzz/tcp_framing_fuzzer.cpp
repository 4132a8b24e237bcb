// The receive framing of TcpConnection (DeliverFrames, the step its
// ReceiveStep runs on every read) fed arbitrary byte streams in memory, in
// the pieces a socket could hand over, into a receive buffer of the
// connection's size.
//
// Input layout:
//   byte 0, low 4 bits: n, the number of chunk-size bytes that follow;
//   n bytes: the sizes of the first n reads (b up to 200 is b bytes, above
//   that (b - 200) * 4096, and 0 is 262144); the rest of the stream follows
//   in reads of 65536 bytes; a read never takes more than the buffer's room;
//   the rest: the stream, written as it stands except for the escape
//   0xFE L0 L1 L2 L3 F, which writes the little-endian length L0..L3 and
//   then min(L, 262144) bytes of F, so that frames near the 262140-byte
//   limit need no large inputs.
//
// Every frame handed to the callback must be at most 262140 bytes and the
// frames must be exactly those the stream holds, in order; a length above
// 262140 must end the link (-1), and nothing after it may be delivered.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/receive_framing.h"

namespace {

const uint8_t kEscape = 0xFE;

unsigned char *g_Buffer = nullptr;  // the connection's receive buffer
std::vector<std::string> g_Frames;
bool g_InDelivery = false;

void OnFrame(const char *body, int32_t length, void *context)
{
    FUZZ_CHECK(context == &g_Frames, "wrong context");
    FUZZ_CHECK(g_InDelivery, "callback outside DeliverFrames");
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

// Hands the reads to the framing as ReceiveStep does; false once the
// framing ended the link.
bool Feed(const std::string &stream, const std::vector<size_t> &chunks)
{
    int32_t fill = 0;
    size_t pos = 0;
    size_t next = 0;
    while (pos < stream.size()) {
        size_t want = next < chunks.size() ? chunks[next++] : 65536;
        size_t room = static_cast<size_t>(kRecvBufferSize - fill);
        FUZZ_CHECK(room > 0, "the receive buffer is full of bytes nobody takes");
        if (want > room)
            want = room;
        if (want > stream.size() - pos)
            want = stream.size() - pos;
        memcpy(g_Buffer + fill, stream.data() + pos, want);
        pos += want;
        fill += static_cast<int32_t>(want);
        g_InDelivery = true;
        fill = DeliverFrames(g_Buffer, fill, OnFrame, &g_Frames);
        g_InDelivery = false;
        if (fill < 0)
            return false;
        FUZZ_CHECK(fill < kRecvBufferSize, "%d bytes left undelivered", fill);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_Buffer = new unsigned char[kRecvBufferSize];
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
    bool linkLasted = Feed(stream, chunks);
    FUZZ_CHECK(linkLasted == !expected.oversize, "the link %s, the stream %s an oversize length",
               linkLasted ? "lasted" : "ended", expected.oversize ? "holds" : "holds no");
    FUZZ_CHECK(g_Frames.size() == expected.frames.size(), "%zu frames delivered, %zu in the stream",
               g_Frames.size(), expected.frames.size());
    for (size_t i = 0; i < g_Frames.size(); ++i)
        FUZZ_CHECK(g_Frames[i] == expected.frames[i], "frame %zu differs (%zu bytes, expected %zu)", i,
                   g_Frames[i].size(), expected.frames[i].size());
    return 0;
}
