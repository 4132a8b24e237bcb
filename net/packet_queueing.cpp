// Producers' side of the connection: framing a packet into a free slot and
// handing it to the owner's send queue. Runs on any thread.
#include <string.h>

#include "net/tcp_connection.h"
#include "net/wire_format.h"
#include "runtime/clock.h"
#include "runtime/console.h"

namespace {

void ReportNoSlot(int32_t slotSize, int64_t needed)
{
    int32_t shown = needed > INT32_MAX ? INT32_MAX : static_cast<int32_t>(needed);
    ConsolePrint("GetWriteBuffer is null  mean no packet! now size %d ! need size %d\n", slotSize, shown);
}

// The 29 bytes in front of a video frame's payload: length, kind and
// media header.
void WriteVideoHead(unsigned char *out, uint32_t width, uint32_t height, uint32_t sequence,
                    uint32_t streamKind, bool keyFrame, int32_t n, uint32_t timeStamp)
{
    PutLe32(out, static_cast<uint32_t>(n) + 1 + kMediaHeaderSize);
    out[4] = 'V';
    unsigned char *header = out + 5;
    PutLe16(header + 0, 0);
    PutLe16(header + 2, 'V');
    PutLe32(header + 4, timeStamp);
    PutLe32(header + 8, static_cast<uint32_t>(n) & 0x1FFFFFFu);
    PutLe32(header + 12, sequence);
    // Each field keeps to its own bits: height 1-12, kind 13-19, width 20-31.
    uint32_t picture = (keyFrame ? 1u : 0u) | ((height & 0xFFFu) << 1) | ((streamKind & 0x7Fu) << 13) |
                       ((width & 0xFFFu) << 20);
    PutLe32(header + 16, picture);
    PutLe32(header + 20, 0);
}

}  // namespace

PacketSlot *TcpConnection::TakeSlotFor(int64_t needed, uint32_t *generation, SlotClaim claim)
{
    // The generation is read before the connected flag: if Close runs in
    // between, the slot carries the old generation and Enqueue drops it.
    *generation = m_Packets.Generation();
    if (!m_Connected.load(std::memory_order_acquire))
        return nullptr;
    if (needed > m_SlotSize) {
        ReportNoSlot(m_SlotSize, needed);
        return nullptr;
    }
    PacketSlot *slot = m_Packets.TakeFreeSlot(claim);
    // Video finds the pool full when the uplink is slower than the video:
    // a drop for the uplink, counted, not a line per frame.
    if (slot == nullptr && claim == kClaimVideo)
        m_VideoDropped.fetch_add(1, std::memory_order_relaxed);
    else if (slot == nullptr)
        ReportNoSlot(m_SlotSize, needed);
    return slot;
}

int TcpConnection::EnqueueFilled(PacketSlot *slot)
{
    if (!m_Packets.Enqueue(slot))
        return 0;
    Wake();
    return 1;
}

int TcpConnection::QueueText(const char *text, SlotClaim claim)
{
    if (text == nullptr)
        return 0;
    size_t n = strlen(text);
    uint32_t generation = 0;
    PacketSlot *slot = TakeSlotFor(static_cast<int64_t>(n) + 6, &generation, claim);
    if (slot == nullptr)
        return 0;
    unsigned char *out = slot->data;
    PutLe32(out, static_cast<uint32_t>(n + 2));
    out[4] = '0';
    memcpy(out + 5, text, n);
    out[5 + n] = 0;
    slot->length = static_cast<int32_t>(n + 6);
    slot->generation = generation;
    return EnqueueFilled(slot);
}

int TcpConnection::QueueBytes(const void *data, int32_t length)
{
    if (length < 0 || (length > 0 && data == nullptr))
        return 0;
    uint32_t generation = 0;
    PacketSlot *slot = TakeSlotFor(length, &generation);
    if (slot == nullptr)
        return 0;
    if (length > 0)
        memcpy(slot->data, data, static_cast<size_t>(length));
    slot->length = length;
    slot->generation = generation;
    return EnqueueFilled(slot);
}

int TcpConnection::QueueVideoFrame(uint32_t width, uint32_t height, uint32_t sequence, uint32_t streamKind,
                                   bool keyFrame, const void *payload, int32_t n, uint32_t timeStamp)
{
    if (n < 0 || (n > 0 && payload == nullptr))
        return 0;
    int64_t handedMs = MonotonicMs();
    // After a frame was dropped, only a key frame can be decoded next.
    if (!keyFrame && m_VideoGap.load() && m_Connected.load(std::memory_order_acquire)) {
        m_VideoDropped.fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    uint32_t generation = 0;
    // Taken even when the frame may go out directly: a part the socket does
    // not take must have somewhere to go.
    PacketSlot *slot = TakeSlotFor(static_cast<int64_t>(n) + kVideoPacketOverhead, &generation, kClaimVideo);
    if (slot == nullptr)
        return 0;
    slot->video = true;
    slot->keyFrame = keyFrame;
    slot->handedMs = handedMs;
    if (keyFrame)
        m_VideoGap.store(false);
    unsigned char head[kVideoPacketOverhead];
    WriteVideoHead(head, width, height, sequence, streamKind, keyFrame, n, timeStamp);
    // The usual case on a link that keeps up: straight from the camera's
    // buffer to the socket, no copy, and no need to wake the owner.
    switch (SendDirect(head, kVideoPacketOverhead, payload, n, slot, generation)) {
    case kDirectSentWhole:
        m_Packets.ReturnSlot(slot);
        return 1;
    case kDirectSentPart:
        Wake();  // the owner must now watch for room to send the rest
        return 1;
    default:
        break;
    }
    memcpy(slot->data, head, sizeof(head));
    if (n > 0)
        memcpy(slot->data + kVideoPacketOverhead, payload, static_cast<size_t>(n));
    slot->length = n + kVideoPacketOverhead;
    slot->generation = generation;
    return EnqueueFilled(slot);
}

uint32_t TcpConnection::QueuedCount() { return m_Packets.QueuedCount(); }
