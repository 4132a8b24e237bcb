// The receive framing of TcpConnection (DeliverFrames, the step its
// ReceiveStep runs on every read) fed arbitrary byte streams in memory, in
// the pieces a socket could hand over.
//
// Input layout:
//   byte 0, low 4 bits: n, the number of chunk-size bytes that follow;
//   byte 0, high 4 bits: k, the receive buffer's capacity, 8 << (k & 7)
//   bytes (8 to 1024): the framing's limits follow its buffer, and small
//   buffers reach them with short streams (the connection's own 262144 and
//   its 262140/262141 boundary are the component tests');
//   n bytes: the sizes of the first n reads (b up to 200 is b bytes, above
//   that (b - 200) * 4096, and 0 is 262144); the rest of the stream follows
//   in reads of 65536 bytes; a read never takes more than the buffer's room;
//   the rest: the stream, written as it stands except for the escape
//   0xFE L0 L1 L2 L3 F, which writes the little-endian length L0..L3 and
//   then min(L, capacity) bytes of F, so that frames near the limit need no
//   large inputs; the stream ends at 64 KB.
//
// Every frame handed to the callback must fit the buffer behind its length
// and the frames must be exactly those the stream holds, in order; a length
// beyond that must end the link (-1), and nothing after it may be
// delivered.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "net/receive_framing.h"

namespace {

const uint8_t kEscape = 0xFE;
const size_t kMaxStream = 65536;

struct Span {
    size_t offset;
    size_t length;
};

unsigned char *g_Buffer = nullptr;  // room for the largest receive buffer
const std::string *g_Stream = nullptr;
std::vector<Span> g_Expected;
size_t g_Delivered = 0;
int32_t g_Capacity = 0;
bool g_InDelivery = false;

void OnFrame(const char *body, int32_t length, void *context)
{
    FUZZ_CHECK(context == &g_Expected, "wrong context");
    FUZZ_CHECK(g_InDelivery, "callback outside DeliverFrames");
    FUZZ_CHECK(length >= 0 && length <= g_Capacity - 4, "frame of %d bytes in a %d-byte buffer", length,
               g_Capacity);
    FUZZ_CHECK(length == 0 || body != nullptr, "null body");
    FUZZ_CHECK(g_Delivered < g_Expected.size(), "frame %zu delivered, the stream holds %zu", g_Delivered,
               g_Expected.size());
    const Span &want = g_Expected[g_Delivered++];
    // Comparing reads every byte of the frame.
    FUZZ_CHECK(static_cast<size_t>(length) == want.length &&
                   memcmp(body, g_Stream->data() + want.offset, want.length) == 0,
               "frame %zu differs (%d bytes, expected %zu)", g_Delivered - 1, length, want.length);
}

uint32_t Le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string Expand(const uint8_t *data, size_t size, uint32_t capacity)
{
    std::string stream;
    size_t i = 0;
    while (i < size && stream.size() < kMaxStream) {
        if (data[i] == kEscape && size - i >= 6) {
            uint32_t length = Le32(data + i + 1);
            stream.append(reinterpret_cast<const char *>(data + i + 1), 4);
            stream.append(length < capacity ? length : capacity, static_cast<char>(data[i + 5]));
            i += 6;
        } else {
            stream.push_back(static_cast<char>(data[i]));
            ++i;
        }
    }
    return stream;
}

// The frames of the stream, and whether a length beyond the buffer ends it.
bool FramesIn(const std::string &stream, uint32_t capacity, std::vector<Span> *frames)
{
    size_t pos = 0;
    while (stream.size() - pos >= 4) {
        uint32_t length = Le32(reinterpret_cast<const uint8_t *>(stream.data() + pos));
        if (length > capacity - 4)
            return true;
        if (stream.size() - pos - 4 < length)
            break;
        frames->push_back(Span{pos + 4, length});
        pos += 4 + length;
    }
    return false;
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
        size_t room = static_cast<size_t>(g_Capacity - fill);
        FUZZ_CHECK(room > 0, "the receive buffer is full of bytes nobody takes");
        if (want > room)
            want = room;
        if (want > stream.size() - pos)
            want = stream.size() - pos;
        memcpy(g_Buffer + fill, stream.data() + pos, want);
        pos += want;
        fill += static_cast<int32_t>(want);
        g_InDelivery = true;
        fill = DeliverFrames(g_Buffer, g_Capacity, fill, OnFrame, &g_Expected);
        g_InDelivery = false;
        if (fill < 0)
            return false;
        FUZZ_CHECK(fill < g_Capacity, "%d bytes left undelivered", fill);
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
    g_Capacity = 8 << ((data[0] >> 4) & 7);
    if (size < 1 + sizeCount)
        return 0;
    std::vector<size_t> chunks;
    for (size_t i = 0; i < sizeCount; ++i) {
        size_t b = data[1 + i];
        chunks.push_back(b == 0 ? 262144 : b <= 200 ? b : (b - 200) * 4096);
    }
    uint32_t capacity = static_cast<uint32_t>(g_Capacity);
    std::string stream = Expand(data + 1 + sizeCount, size - 1 - sizeCount, capacity);
    g_Expected.clear();
    bool oversize = FramesIn(stream, capacity, &g_Expected);

    g_Stream = &stream;
    g_Delivered = 0;
    bool linkLasted = Feed(stream, chunks);
    FUZZ_CHECK(linkLasted == !oversize, "the link %s, the stream %s a length beyond the buffer",
               linkLasted ? "lasted" : "ended", oversize ? "holds" : "holds no");
    FUZZ_CHECK(g_Delivered == g_Expected.size(), "%zu frames delivered, %zu in the stream", g_Delivered,
               g_Expected.size());
    g_Stream = nullptr;
    return 0;
}
