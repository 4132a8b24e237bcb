#ifndef NET_PACKET_BUFFER_H
#define NET_PACKET_BUFFER_H

#include <stdint.h>

#include <deque>

#include "runtime/mutex.h"

// One packet's storage, allocated once with its connection's slot size.
class PacketSlot {
public:
    explicit PacketSlot(int32_t size);
    ~PacketSlot();
    PacketSlot(const PacketSlot &) = delete;
    PacketSlot &operator=(const PacketSlot &) = delete;

    unsigned char *data;
    int32_t length;
    // Connection generation the packet was written for (see TcpConnection).
    uint32_t generation;
};

// A connection's fixed pool of send slots and its first-in first-out send
// queue. Each list has its own lock, held for one list operation only.
class PacketBuffer {
public:
    PacketBuffer();
    ~PacketBuffer();
    PacketBuffer(const PacketBuffer &) = delete;
    PacketBuffer &operator=(const PacketBuffer &) = delete;

    void AddSlots(int32_t slotSize, uint32_t count);
    PacketSlot *TakeFreeSlot();
    void ReturnSlot(PacketSlot *slot);
    void Enqueue(PacketSlot *slot);
    PacketSlot *Dequeue();
    uint32_t QueuedCount();
    uint32_t FreeCount();

private:
    friend class TcpConnection;
    Mutex m_FreeLock;
    std::deque<PacketSlot *> m_FreeSlots;
    Mutex m_QueueLock;
    std::deque<PacketSlot *> m_SendQueue;
    std::deque<PacketSlot *> m_AllSlots;  // ownership, touched only by AddSlots and the destructor
};

#endif
