#ifndef NET_PACKET_BUFFER_H
#define NET_PACKET_BUFFER_H

#include <stdint.h>

#include <atomic>
#include <vector>

#include "runtime/mutex.h"

// Free slots that only control packets may take (in a pool of more than
// this many; a smaller pool has no video to keep out).
const uint32_t kControlReserve = 2;

// Who asks for a slot, by how many free slots it must leave behind: the
// link's own control (login, heartbeat) may take the last one, answers to
// the peer's commands all but the last, video all but kControlReserve.
enum SlotClaim { kClaimControl = 0, kClaimAnswer = 1, kClaimVideo = kControlReserve };

// One packet's storage, allocated once with its connection's slot size.
class PacketSlot {
public:
    explicit PacketSlot(int32_t size);
    ~PacketSlot();
    PacketSlot(const PacketSlot &) = delete;
    PacketSlot &operator=(const PacketSlot &) = delete;

    unsigned char *data;
    int32_t length;
    // Connection generation the packet was written for (see PacketBuffer).
    uint32_t generation;
    // A live video frame (else a control packet), whether it is a key
    // frame, and when the camera handed it over (MonotonicMs).
    bool video;
    bool keyFrame;
    int64_t handedMs;
};

// A connection's fixed pool of send slots and its send queue: control
// packets (logins, heartbeats, answers) first, then video, each first-in
// first-out. The last kControlReserve free slots are kept for control
// packets, so that video backed up behind a thin uplink can never leave a
// heartbeat without a slot, and the very last for the link's own control,
// so that answers cannot either. Each list has its own lock, held for one
// list operation only.
//
// The generation counts the connection's closes. A producer notes it before
// it checks that the connection is up and stamps it on the slot it fills;
// Enqueue refuses a slot stamped with an older generation, so a packet
// written for one connection can never be sent on a later one.
class PacketBuffer {
public:
    PacketBuffer();
    ~PacketBuffer();
    PacketBuffer(const PacketBuffer &) = delete;
    PacketBuffer &operator=(const PacketBuffer &) = delete;

    // Called before any other thread uses the pool.
    void AddSlots(int32_t slotSize, uint32_t count);
    // A free slot, or null when taking one would leave fewer free than the
    // claim must leave behind.
    PacketSlot *TakeFreeSlot(SlotClaim claim = kClaimControl);
    void ReturnSlot(PacketSlot *slot);
    // Appends the slot to its send queue, or, when its generation is stale,
    // gives it back to the free list. True when queued.
    bool Enqueue(PacketSlot *slot);
    PacketSlot *Dequeue();
    // Puts a slot just dequeued back at the front of its queue (a stale
    // generation gives it back to the free list instead).
    void PutBack(PacketSlot *slot);
    uint32_t QueuedCount();
    uint32_t QueuedVideoCount();
    // Key frames among the queued video.
    uint32_t QueuedKeyFrames();
    uint32_t FreeCount();

    uint32_t Generation() const { return m_Generation.load(std::memory_order_acquire); }
    // Starts a new generation under the send-queue lock: from here on no
    // slot stamped earlier can enter the queue.
    void NewGeneration();

private:
    // Fixed-capacity first-in first-out list of slot pointers; sized for
    // every slot of the pool, so it never allocates once the pool exists.
    class SlotRing {
    public:
        SlotRing() : m_Head(0), m_Count(0) {}
        void Reserve(uint32_t capacity);
        void Push(PacketSlot *slot);
        PacketSlot *Pop();
        void PushFront(PacketSlot *slot);
        uint32_t Count() const { return m_Count; }

    private:
        std::vector<PacketSlot *> m_Items;
        uint32_t m_Head;
        uint32_t m_Count;
    };

    // Queues a slot of the current connection (at the front or the back of
    // its queue); a slot of an earlier one goes back to the free list.
    bool PlaceIfCurrent(PacketSlot *slot, bool atFront);
    // Appends (or puts in front) a current slot to its queue; under m_QueueLock.
    void Place(PacketSlot *slot, bool atFront);

    Mutex m_FreeLock;
    SlotRing m_FreeSlots;  // under m_FreeLock
    Mutex m_QueueLock;
    SlotRing m_ControlQueue;  // under m_QueueLock
    SlotRing m_SendQueue;     // video, under m_QueueLock
    uint32_t m_QueuedKeys;    // key frames in m_SendQueue, under m_QueueLock
    std::atomic<uint32_t> m_Generation;  // written under m_QueueLock
    // Ownership; changed only by AddSlots and the destructor, so its size is
    // fixed while other threads use the pool.
    std::vector<PacketSlot *> m_AllSlots;
};

#endif
