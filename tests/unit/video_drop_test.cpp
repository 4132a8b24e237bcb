// The drop rules for live video on a thin uplink: which queued frame goes,
// and that control packets are never kept waiting or left without a slot.
#include <gtest/gtest.h>

#include <vector>

#include "net/packet_buffer.h"
#include "net/video_drop.h"

TEST(VideoDrop, StaleFrameDropsThenEverythingUpToAFreshKeyFrame)
{
    // A fresh frame goes; so does any frame when no age limit is set.
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(false, false, kStaleVideoMs, kStaleVideoMs));
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(false, false, 100000, 0));
    // Too old, key frame or not: dropped, and the link now drops to a key frame.
    EXPECT_EQ(kVideoDropStale, JudgeQueuedVideo(false, false, kStaleVideoMs + 1, kStaleVideoMs));
    EXPECT_EQ(kVideoDropStale, JudgeQueuedVideo(false, true, kStaleVideoMs + 1, kStaleVideoMs));
    // After a drop a fresh frame that is not a key frame cannot be decoded.
    EXPECT_EQ(kVideoDropToKey, JudgeQueuedVideo(true, false, 0, kStaleVideoMs));
    // A fresh key frame ends the drop; a stale one keeps it going.
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(true, true, 0, kStaleVideoMs));
    EXPECT_EQ(kVideoDropStale, JudgeQueuedVideo(true, true, kStaleVideoMs + 1, kStaleVideoMs));
}

namespace {
PacketSlot *Fill(PacketBuffer &pool, bool video, int32_t tag)
{
    PacketSlot *slot = pool.TakeFreeSlot(video);
    if (slot != nullptr) {
        slot->video = video;
        slot->length = tag;
        EXPECT_TRUE(pool.Enqueue(slot));
    }
    return slot;
}
}  // namespace

TEST(VideoDrop, VideoLeavesSlotsForControlWhichGoesFirst)
{
    const uint32_t count = 10;
    PacketBuffer pool;
    pool.AddSlots(64, count);
    // Video backed up behind a thin uplink takes what it may...
    int32_t videoQueued = 0;
    while (Fill(pool, true, 100 + videoQueued) != nullptr)
        ++videoQueued;
    EXPECT_EQ(static_cast<int32_t>(count - kControlReserve), videoQueued);
    // ...and heartbeats and answers still find a slot.
    for (uint32_t i = 0; i < kControlReserve; ++i)
        ASSERT_NE(nullptr, Fill(pool, false, static_cast<int32_t>(i + 1)));
    EXPECT_EQ(nullptr, pool.TakeFreeSlot(false));

    // Control leaves first, in its own order, then video in its order.
    std::vector<int32_t> order;
    while (PacketSlot *slot = pool.Dequeue()) {
        order.push_back(slot->length);
        pool.ReturnSlot(slot);
    }
    ASSERT_EQ(count, order.size());
    EXPECT_EQ(1, order[0]);
    EXPECT_EQ(2, order[1]);
    for (int32_t i = 0; i < videoQueued; ++i)
        EXPECT_EQ(100 + i, order[2 + i]);
    // A returned slot is a control slot again until a producer says otherwise.
    PacketSlot *slot = pool.TakeFreeSlot(false);
    ASSERT_NE(nullptr, slot);
    EXPECT_FALSE(slot->video);
    pool.ReturnSlot(slot);
}
