#ifndef NET_TCP_CONNECTION_H
#define NET_TCP_CONNECTION_H

#include <stdint.h>

#include <atomic>

#include "net/packet_buffer.h"
#include "runtime/mutex.h"

// Receive callback: one complete frame body (kind byte first) and its length.
typedef void (*ReceiveCallback)(const char *body, int32_t length, void *context);

const int32_t kRecvBufferSize = 262144;
const int32_t kMaxFrameLength = kRecvBufferSize - 4;
const int kSendBufferSize = 262144;
const uint32_t kRelayStreamKind = 12;
const int32_t kMediaHeaderSize = 24;
const int32_t kVideoPacketOverhead = 4 + 1 + kMediaHeaderSize;  // n + 29 bytes in the slot

// The one TCP client of the agent: resolves, connects with a time-out, then
// runs as a non-blocking pipe driven by its owner thread (Connect, Close,
// PollSend, PollReceive, Wait). Any thread may queue packets.
class TcpConnection {
public:
    TcpConnection();
    ~TcpConnection();
    TcpConnection(const TcpConnection &) = delete;
    TcpConnection &operator=(const TcpConnection &) = delete;

    // Makes the slot pool once; a later call only replaces the callback.
    void Setup(int32_t slotSize, uint32_t slotCount, ReceiveCallback onReceive, void *context);
    // Live video on this link (before Connect, owner thread): the kernel
    // holds at most about `unsentLimit` bytes not yet sent (0: as many as
    // its send buffer takes), and a queued video frame older than `staleMs`
    // is dropped, with every frame after it up to the next key frame (0:
    // none is dropped for its age).
    void SetLiveVideo(int unsentLimit, int64_t staleMs);
    // 1 when connected, 0 otherwise. Only while closed.
    int Connect(const char *host, unsigned int port, int timeoutSec);
    void Close();
    bool IsConnected() const { return m_Connected.load(std::memory_order_acquire); }

    // One select with a time-out in microseconds, then at most one send or
    // receive step. 1 when the connection is still usable, 0 otherwise.
    int PollSend(int timeoutUs);
    int PollReceive(int timeoutUs);

    // Blocks until the socket is readable, or writable while something is
    // queued or being sent, or a producer queued a packet or called Wake, or
    // timeoutMs passed. While closed it waits for a wake or the time-out
    // only. Owner thread only. Returns nothing the caller must act on: the
    // owner then runs its polls as usual (a readable socket keeps Wait
    // returning at once until PollReceive has taken the bytes).
    void Wait(int timeoutMs);
    // One pass of an owner loop in a single wait: waits as Wait does, then
    // offers whatever is queued to the socket and runs the receive step if
    // the socket is readable. 1 while connected, 0 otherwise.
    int Service(int timeoutMs);
    // Ends a Wait in progress (or the next one) at once; any thread.
    void Wake();
    int32_t ReadRaw(void *buf, int32_t size);  // unframed bytes held (no callback); owner thread

    // Queueing, from any thread; 1 when queued, 0 otherwise.
    int QueueText(const char *text);
    int QueueBytes(const void *data, int32_t length);
    int QueueVideoFrame(uint32_t width, uint32_t height, uint32_t sequence, uint32_t streamKind,
                        bool keyFrame, const void *payload, int32_t n, uint32_t timeStamp);
    uint32_t QueuedCount();
    // Video frames dropped for the uplink since the connection was made
    // (stale, up to a key frame, or no free slot); any thread.
    uint32_t VideoDropped() const { return m_VideoDropped.load(std::memory_order_relaxed); }
    // Milliseconds from the camera's handover to the kernel taking the last
    // byte, of the latest video frame sent; -1 before the first.
    int32_t LastVideoDelayMs() const { return m_LastVideoDelayMs.load(std::memory_order_relaxed); }
    // Bytes a second the peer acknowledged since the previous call (at
    // least a second ago, else the previous figure); owner thread.
    uint32_t SampleUplinkRate();
    bool IsSendIdle() const { return m_SendingBusy.load(std::memory_order_acquire) == false; }

    int32_t SlotSize() const { return m_SlotSize; }
    uint32_t SlotCount() const { return m_SlotCount; }
    uint32_t FreeSlotCount() { return m_Packets.FreeCount(); }

private:
    // Implementation detail owned by the transport; see tcp_connection.cpp
    // and packet_queueing.cpp.
    PacketSlot *TakeSlotFor(int64_t needed, uint32_t *generation, bool forVideo = false);
    int EnqueueFilled(PacketSlot *slot);
    void SendStep();
    bool SendQueued();  // under m_SocketLock; false on a socket error
    // Under m_SocketLock: true when the dequeued video slot is dropped (and
    // given back) instead of sent.
    bool DropQueuedVideo(PacketSlot *slot);
    void NoteVideoSent(int64_t handedMs);
    void ApplyUnsentLimit();
    int EndOfRecord() const;
    // Outcomes of SendDirect.
    enum { kDirectNotSent, kDirectSentWhole, kDirectSentPart };
    // Writes one packet, given as its head and payload, straight to the
    // socket when nothing is queued or being sent; a part the socket does
    // not take is copied into `spare` and becomes the packet being sent.
    int SendDirect(const unsigned char *head, int32_t headLength, const void *payload, int32_t n,
                   PacketSlot *spare, uint32_t generation);
    void ReceiveStep();
    int PollOnce(bool forSend, int timeoutUs);
    // The wait of Wait and Service; returns the socket's poll events.
    short WaitForEvents(int timeoutMs);

    // Set by Setup before any other thread uses the connection.
    int32_t m_SlotSize;
    uint32_t m_SlotCount;
    ReceiveCallback m_OnReceive;
    void *m_Context;
    // Set by the owner thread; closed, and written to, under m_SocketLock.
    int m_Socket;
    std::atomic<bool> m_Connected;
    // Held while the socket is written to or closed, by the owner's send
    // step and by a producer's direct send. The pool's own locks may be
    // taken inside it, never the other way round.
    Mutex m_SocketLock;
    // Owner thread only.
    unsigned char *m_RecvBuf;
    int32_t m_RecvFill;
    // Under m_SocketLock.
    PacketSlot *m_Sending;
    int32_t m_SentBytes;
    // Mirrors "m_Sending holds a slot" for other threads.
    std::atomic<bool> m_SendingBusy;
    // Set by SetLiveVideo before Connect.
    int m_UnsentLimit;
    int64_t m_StaleVideoMs;
    // Under m_SocketLock: a video frame was dropped and no key frame has
    // been sent since; bytes handed to the kernel on this connection.
    bool m_DropToKey;
    uint64_t m_BytesSent;
    // Raised by the owner when it drops a frame, cleared by the producer
    // when it queues a key frame: until then later frames cannot be decoded.
    std::atomic<bool> m_VideoGap;
    std::atomic<uint32_t> m_VideoDropped;
    std::atomic<int32_t> m_LastVideoDelayMs;
    // Owner thread only: the last rate sample.
    int64_t m_RateSampledMs;
    uint64_t m_RateAcked;
    uint32_t m_UplinkRate;
    PacketBuffer m_Packets;
    // Self-pipe that ends a Wait; non-blocking at both ends.
    int m_WakePipe[2];
    // A wake was requested and not yet seen by Wait.
    std::atomic<bool> m_WakePending;
    // The owner is inside (or entering) Wait's poll, so a wake must write.
    std::atomic<bool> m_OwnerWaiting;
};

#endif
