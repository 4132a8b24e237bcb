#ifndef NET_TCP_CONNECTION_H
#define NET_TCP_CONNECTION_H

#include <stdint.h>

#include <atomic>

#include "net/packet_buffer.h"
#include "net/video_drop.h"
#include "runtime/mutex.h"

// Receive callback: one complete frame body (kind byte first) and its length.
typedef void (*ReceiveCallback)(const char *body, int32_t length, void *context);

const int32_t kRecvBufferSize = 262144;
const int32_t kMaxFrameLength = kRecvBufferSize - 4;
const int kSendBufferSize = 262144;
const uint32_t kRelayStreamKind = 12;
const int32_t kMediaHeaderSize = 24;
const int32_t kVideoPacketOverhead = 4 + 1 + kMediaHeaderSize;  // n + 29 bytes in the slot
// The link's pace, the rate the peer acknowledged over a second in which
// the socket held the agent back most of the time, is not trusted once it
// is this old.
const int64_t kPaceFreshMs = 5000;

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
    // its send buffer takes); a queued video frame older than `staleMs`
    // plus the time the link took for the last key frame is dropped, with
    // every frame after it up to the next key frame (0: none is dropped for
    // its age); and no video packet starts to leave that would keep the
    // link's control waiting past its `controlRhythmMs` (0: no rhythm),
    // see ExpectControlWithin.
    void SetLiveVideo(int unsentLimit, int64_t staleMs, int64_t controlRhythmMs = 0);
    // The owner's next control packet (a heartbeat) is due in `ms`; owner
    // thread.
    void ExpectControlWithin(int64_t ms);
    // True once after a video packet was held back because control is due
    // before it could leave: the owner should queue that control now.
    bool TakeControlRequest() { return m_ControlWanted.exchange(false); }
    // How long what the kernel holds needs to leave at the link's pace (0:
    // not known), or -1 while video is queued or leaving in the agent; any
    // thread.
    int64_t VideoBacklogMs();
    // Whether a key frame like the last one, asked for now, would be
    // dropped to keep the owner's next control packet in its rhythm; any
    // thread.
    bool KeyFrameWouldMissControl();
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
    // True while the owner is blocked in a wait that no wake has ended yet:
    // a test that moves the clock waits for this before each move, so the
    // owner looks at every step however slowly it is scheduled.
    bool OwnerIsWaiting() const { return m_OwnerWaiting.load() && !m_WakePending.load(); }
    int32_t ReadRaw(void *buf, int32_t size);  // unframed bytes held (no callback); owner thread

    // Queueing, from any thread; 1 when queued, 0 otherwise.
    // `claim`: see SlotClaim; the link's own control may take the last slot.
    int QueueText(const char *text, SlotClaim claim = kClaimControl);
    int QueueBytes(const void *data, int32_t length);
    int QueueVideoFrame(uint32_t width, uint32_t height, uint32_t sequence, uint32_t streamKind,
                        bool keyFrame, const void *payload, int32_t n, uint32_t timeStamp);
    uint32_t QueuedCount();
    // Video frames dropped for the uplink (stale, up to a key frame, or no
    // free slot), counted over the object's life, across reconnects: a
    // reader takes differences; any thread.
    uint32_t VideoDropped() const { return m_VideoDropped.load(std::memory_order_relaxed); }
    // Milliseconds from the camera's handover to the kernel taking the last
    // byte, of the latest video frame sent; -1 before the first.
    int32_t LastVideoDelayMs() const { return m_LastVideoDelayMs.load(std::memory_order_relaxed); }
    // Bytes a second the peer acknowledged since the previous call (at
    // least a second ago, else the previous figure); owner thread. Also
    // what tells the link's pace (see NoteLinkPace) and the video's own
    // rate (NoteVideoHanded).
    uint32_t SampleUplinkRate();
    // Bytes of video the camera handed over for this link, queued or not;
    // any thread.
    void NoteVideoHanded(int32_t bytes, bool keyFrame)
    {
        uint64_t n = static_cast<uint64_t>(bytes > 0 ? bytes : 0);
        m_VideoHanded.fetch_add(n, std::memory_order_relaxed);
        if (keyFrame)
            m_KeyHanded.fetch_add(n, std::memory_order_relaxed);
    }
    bool IsSendIdle() const { return m_SendingBusy.load(std::memory_order_acquire) == false; }

    int32_t SlotSize() const { return m_SlotSize; }
    uint32_t SlotCount() const { return m_SlotCount; }
    uint32_t FreeSlotCount() { return m_Packets.FreeCount(); }

private:
    // Implementation detail owned by the transport; see tcp_connection.cpp
    // and packet_queueing.cpp.
    PacketSlot *TakeSlotFor(int64_t needed, uint32_t *generation, SlotClaim claim = kClaimControl);
    int EnqueueFilled(PacketSlot *slot);
    void SendStep();
    bool SendQueued();  // under m_SocketLock; false on a socket error
    // Under m_SocketLock: the next packet to send, made m_Sending; false
    // when there is none to send now.
    bool StartNextPacket();
    // Under m_SocketLock: whether the dequeued video slot is sent now; a
    // slot not sent is given back (dropped) or put back (behind control).
    VideoVerdict DecideQueuedVideo(PacketSlot *slot);
    void EndDropAtKeyFrame();
    bool MaySendDirect(const PacketSlot *spare, uint32_t generation, int32_t length);
    // Under m_SocketLock: what the link now shows for video.
    VideoPace CurrentPace(int64_t now) const;
    // Under m_SocketLock: how long a packet of `length` would take to leave,
    // behind what the kernel holds, at the link's pace; 0 when not known.
    int64_t LeavePace(int64_t now) const;
    int64_t LeaveMs(int32_t length, int64_t now) const;
    int64_t VideoLeaveMs(bool keyFrame, int32_t length, int64_t now) const;
    // Under m_SocketLock: the link carried at least the video's rate when
    // it was the limit (or was not the limit lately).
    bool LinkHasRoom(int64_t now) const;
    void SampleStreamRate(int64_t elapsedMs);
    void StartSending(PacketSlot *slot, int32_t alreadySent);
    // Under m_SocketLock: the socket took less than offered while a packet
    // waits (the link is the limit), and the queue ran empty: how long the
    // link held the agent back.
    void NoteSocketFull();
    void NoteBacklogEnd();
    // Under m_SocketLock: a key frame started to leave (or the kernel took
    // it whole), and the kernel took the first bytes of a packet.
    void NoteKeyFrameStart(bool wholeTaken, int32_t length);
    void NoteBytesTaken();
    // Under m_SocketLock, at a rate sample over `elapsedMs` (0: none).
    void NoteLinkPace(int64_t now, int64_t elapsedMs, bool kernelFull);
    void NoteSendProgress(int32_t taken, int32_t offered);
    void FinishSending();
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
    int64_t m_ControlRhythmMs;
    // Under m_SocketLock: a video frame was dropped and no key frame has
    // been sent since; bytes handed to the kernel on this connection.
    bool m_DropToKey;
    uint64_t m_BytesSent;
    // Under m_SocketLock, MonotonicMs readings: when the socket last
    // started to hold the agent back (0: it does not); how long it held it
    // back since the last rate sample.
    int64_t m_BacklogSince;
    int64_t m_BacklogMs;
    // Under m_SocketLock: bytes a second the link carried while it was the
    // limit, and when that was last seen (0: never); how long the last key
    // frame took to leave; when the owner's next control packet is due (0:
    // not said).
    int64_t m_LinkPace;
    int64_t m_EarlierPace;  // the sample before m_LinkPace, 0: none lately
    int64_t m_PaceSeenMs;
    // Under m_SocketLock: how far the last key frame has got (leaving the
    // agent, all in the kernel, the kernel refusing more behind it), since
    // when, and how long the link then needed for it, from its first byte
    // to the kernel taking more after it; and its length (0: none yet).
    enum KeyStage { kKeyNone, kKeyLeaving, kKeyInKernel, kKeyBlocking };
    KeyStage m_KeyStage;
    int64_t m_KeyStartMs;
    int32_t m_KeyBytes;
    int64_t m_KeyLeaveMs;
    int64_t m_ControlDueMs;
    // Under m_SocketLock, written by the owner's rate sample: the video's
    // own rate in bytes a second, averaged.
    int64_t m_StreamRate;
    // Owner thread only: the video at the head waits for control.
    bool m_HeldForControl;
    // Raised by the owner's send step when it holds video back for control.
    std::atomic<bool> m_ControlWanted;
    // Video bytes handed over, and (owner only) at the last rate sample.
    std::atomic<uint64_t> m_VideoHanded;
    std::atomic<uint64_t> m_KeyHanded;  // of m_VideoHanded, in key frames
    uint64_t m_HandedSampled;
    uint64_t m_KeyHandedSampled;
    // Raised by the owner when it drops a frame and no key frame is queued,
    // cleared by the producer when it queues a key frame and by the owner
    // when it sends the key frame that ends a drop: until then later
    // frames cannot be decoded.
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
