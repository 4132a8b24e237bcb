#include "net/packet_buffer.h"

// Not zero-filled: only the first `length` bytes are ever read, and each
// packet writes all of them. Zero-filling would make every slot resident
// from the start (2 MB for a relay link) instead of only the bytes that
// packets have used.
PacketSlot::PacketSlot(int32_t size)
    : data(new unsigned char[size > 0 ? size : 0]), length(0), generation(0), video(false), keyFrame(false),
      handedMs(0)
{
}

PacketSlot::~PacketSlot() { delete[] data; }

void PacketBuffer::SlotRing::Reserve(uint32_t capacity)
{
    if (capacity <= m_Items.size())
        return;
    // Unroll the ring into the front of the larger array, keeping its order.
    std::vector<PacketSlot *> grown(capacity, nullptr);
    for (uint32_t i = 0; i < m_Count; ++i)
        grown[i] = m_Items[(m_Head + i) % m_Items.size()];
    m_Items.swap(grown);
    m_Head = 0;
}

void PacketBuffer::SlotRing::Push(PacketSlot *slot)
{
    // Each ring can hold every slot of the pool, and a slot is in at most
    // one list at a time, so there is always room.
    if (m_Count == m_Items.size())
        return;
    m_Items[(m_Head + m_Count) % m_Items.size()] = slot;
    ++m_Count;
}

void PacketBuffer::SlotRing::PushFront(PacketSlot *slot)
{
    if (m_Count == m_Items.size())
        return;
    m_Head = (m_Head + static_cast<uint32_t>(m_Items.size()) - 1) % m_Items.size();
    m_Items[m_Head] = slot;
    ++m_Count;
}

PacketSlot *PacketBuffer::SlotRing::Pop()
{
    if (m_Count == 0)
        return nullptr;
    PacketSlot *slot = m_Items[m_Head];
    m_Items[m_Head] = nullptr;
    m_Head = (m_Head + 1) % m_Items.size();
    --m_Count;
    return slot;
}

PacketBuffer::PacketBuffer() : m_QueuedKeys(0), m_Generation(0) {}

PacketBuffer::~PacketBuffer()
{
    for (size_t i = 0; i < m_AllSlots.size(); ++i)
        delete m_AllSlots[i];
}

void PacketBuffer::AddSlots(int32_t slotSize, uint32_t count)
{
    if (count == 0)
        return;
    uint32_t total = static_cast<uint32_t>(m_AllSlots.size()) + count;
    {
        MutexGuard guard(m_QueueLock);
        m_ControlQueue.Reserve(total);
        m_SendQueue.Reserve(total);
    }
    {
        MutexGuard guard(m_FreeLock);
        m_FreeSlots.Reserve(total);
    }
    for (uint32_t i = 0; i < count; ++i) {
        PacketSlot *slot = new PacketSlot(slotSize);
        m_AllSlots.push_back(slot);
        MutexGuard guard(m_FreeLock);
        m_FreeSlots.Push(slot);
    }
}

PacketSlot *PacketBuffer::TakeFreeSlot(SlotClaim claim)
{
    MutexGuard guard(m_FreeLock);
    uint32_t keep = static_cast<uint32_t>(claim);
    if (keep > 0 && m_AllSlots.size() > kControlReserve && m_FreeSlots.Count() <= keep)
        return nullptr;
    return m_FreeSlots.Pop();
}

void PacketBuffer::ReturnSlot(PacketSlot *slot)
{
    if (slot == nullptr)
        return;
    slot->length = 0;
    slot->video = false;
    slot->keyFrame = false;
    MutexGuard guard(m_FreeLock);
    m_FreeSlots.Push(slot);
}

bool PacketBuffer::Enqueue(PacketSlot *slot)
{
    return PlaceIfCurrent(slot, false);
}

void PacketBuffer::PutBack(PacketSlot *slot)
{
    PlaceIfCurrent(slot, true);
}

bool PacketBuffer::PlaceIfCurrent(PacketSlot *slot, bool atFront)
{
    if (slot == nullptr)
        return false;
    bool current;
    {
        MutexGuard guard(m_QueueLock);
        current = slot->generation == m_Generation.load(std::memory_order_relaxed);
        if (current)
            Place(slot, atFront);
    }
    if (!current)
        ReturnSlot(slot);
    return current;
}

void PacketBuffer::Place(PacketSlot *slot, bool atFront)
{
    SlotRing &queue = slot->video ? m_SendQueue : m_ControlQueue;
    if (atFront)
        queue.PushFront(slot);
    else
        queue.Push(slot);
    if (slot->video && slot->keyFrame)
        ++m_QueuedKeys;
}

PacketSlot *PacketBuffer::Dequeue()
{
    MutexGuard guard(m_QueueLock);
    PacketSlot *slot = m_ControlQueue.Pop();
    if (slot != nullptr)
        return slot;
    slot = m_SendQueue.Pop();
    if (slot != nullptr && slot->keyFrame && m_QueuedKeys > 0)
        --m_QueuedKeys;
    return slot;
}

uint32_t PacketBuffer::QueuedCount()
{
    MutexGuard guard(m_QueueLock);
    return m_ControlQueue.Count() + m_SendQueue.Count();
}

uint32_t PacketBuffer::QueuedVideoCount()
{
    MutexGuard guard(m_QueueLock);
    return m_SendQueue.Count();
}

uint32_t PacketBuffer::QueuedKeyFrames()
{
    MutexGuard guard(m_QueueLock);
    return m_QueuedKeys;
}

uint32_t PacketBuffer::FreeCount()
{
    MutexGuard guard(m_FreeLock);
    return m_FreeSlots.Count();
}

void PacketBuffer::NewGeneration()
{
    MutexGuard guard(m_QueueLock);
    m_Generation.fetch_add(1, std::memory_order_acq_rel);
}
