// The drop rules for live video on a thin uplink: which queued frame goes,
// and that control packets are never kept waiting or left without a slot.
#include <gtest/gtest.h>

#include <vector>

#include "net/packet_buffer.h"
#include "net/video_drop.h"

namespace {
VideoPace Pace(bool dropToKey, int64_t keyLeaveMs = 0)
{
    VideoPace pace = {dropToKey, kStaleVideoMs, keyLeaveMs, 0, 0};
    return pace;
}

VideoVerdict Judge(bool keyFrame, int64_t ageMs, const VideoPace &pace, int64_t leaveMs = 0)
{
    QueuedVideo frame = {keyFrame, ageMs, leaveMs, 0};
    return JudgeQueuedVideo(frame, pace);
}
}  // namespace

TEST(VideoDrop, StaleFrameDropsThenEverythingUpToAFreshKeyFrame)
{
    // A fresh frame goes; so does any frame when no age limit is set.
    EXPECT_EQ(kVideoSend, Judge(false, kStaleVideoMs, Pace(false)));
    VideoPace noLimit = Pace(false);
    noLimit.staleMs = 0;
    EXPECT_EQ(kVideoSend, Judge(false, 100000, noLimit));
    // Too old, key frame or not: dropped, and the link now drops to a key frame.
    EXPECT_EQ(kVideoDropStale, Judge(false, kStaleVideoMs + 1, Pace(false)));
    EXPECT_EQ(kVideoDropStale, Judge(true, kStaleVideoMs + 1, Pace(false)));
    // After a drop a fresh frame that is not a key frame cannot be decoded.
    EXPECT_EQ(kVideoDropToKey, Judge(false, 0, Pace(true)));
    // A fresh key frame ends the drop; a stale one keeps it going.
    EXPECT_EQ(kVideoSend, Judge(true, 0, Pace(true)));
    EXPECT_EQ(kVideoDropStale, Judge(true, kStaleVideoMs + 1, Pace(true)));
}

TEST(VideoDrop, TimeBehindAKeyFrameLeavingIsNotLateness)
{
    // A 25,000-byte key frame took 640 ms to leave at 1.2 times the video's
    // rate; the frames queued behind it, and the backlog it leaves, drain
    // within about that time: none of them is late.
    const int64_t keyLeave = 640;
    for (int64_t age = 0; age <= keyLeave + kStaleVideoMs; age += 40)
        EXPECT_EQ(kVideoSend, Judge(false, age, Pace(false, keyLeave))) << age;
    // Beyond that the link is not keeping up: the frame is late.
    EXPECT_EQ(kVideoDropStale, Judge(false, keyLeave + kStaleVideoMs + 1, Pace(false, keyLeave)));
    // A key frame the kernel took at once leaves the plain limit.
    EXPECT_EQ(kVideoDropStale, Judge(false, kStaleVideoMs + 1, Pace(false, 0)));
}

TEST(VideoDrop, KeyFrameBehindAnotherStillLeavingIsDropped)
{
    // The camera's own key frame right behind one asked for: at 40 kbit/s
    // the kernel and the path still hold 1.8 s of the first, which this one
    // would add to its own sending time.
    QueuedVideo own = {true, 0, 3600, 1800};
    EXPECT_EQ(kVideoDropStale, JudgeQueuedVideo(own, Pace(false)));
    // What a bottleneck holds anyway does not cost a key frame, nor does a
    // longer backlog cost a frame between (the age rule judges those).
    own.aheadMs = kKeyFrameAheadMs;
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(own, Pace(false)));
    QueuedVideo between = {false, 0, 3000, 2800};
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(between, Pace(false)));
    // Without an age limit nothing is dropped for lateness.
    VideoPace noLimit = Pace(false);
    noLimit.staleMs = 0;
    own.aheadMs = 5000;
    EXPECT_EQ(kVideoSend, JudgeQueuedVideo(own, noLimit));
}

TEST(VideoDrop, NoVideoPacketHoldsControlPastItsRhythm)
{
    VideoPace pace = Pace(false);
    pace.controlRhythmMs = 10000;
    // Heartbeat due in 5 s: a packet that is gone by then, or soon after, goes.
    pace.controlDueInMs = 5000;
    EXPECT_EQ(kVideoSend, Judge(true, 0, pace, 5000 + kControlSlackMs));
    // Pace unknown: nothing to judge by.
    EXPECT_EQ(kVideoSend, Judge(true, 0, pace, 0));
    // A longer one, with the heartbeat not yet nearly due: dropped, since
    // an early heartbeat would break the rhythm.
    EXPECT_EQ(kVideoDropStale, Judge(true, 0, pace, 5000 + kControlSlackMs + 1));
    pace.controlDueInMs = kControlEarlyMs + 1;
    EXPECT_EQ(kVideoDropStale, Judge(true, 0, pace, 8000));
    // Heartbeat nearly due (or overdue): it goes first, then the packet,
    // as long as the packet is gone before the next one is due.
    for (int64_t due : {kControlEarlyMs, int64_t(0), int64_t(-300)}) {
        pace.controlDueInMs = due;
        EXPECT_EQ(kVideoControlFirst, Judge(true, 0, pace, 8000)) << due;
        EXPECT_EQ(kVideoControlFirst, Judge(true, 0, pace, 10000 + kControlSlackMs)) << due;
        // One that cannot leave within a whole rhythm is worth less than the link.
        EXPECT_EQ(kVideoDropStale, Judge(true, 0, pace, 10000 + kControlSlackMs + 1)) << due;
    }
    // Staleness is judged first.
    EXPECT_EQ(kVideoDropStale, Judge(false, kStaleVideoMs + 1, pace, 100));
    // No rhythm on the link: nothing held for it.
    pace.controlRhythmMs = 0;
    EXPECT_EQ(kVideoSend, Judge(true, 0, pace, 60000));
}

TEST(VideoDrop, KeyFramesAreAskedForAtABoundedRateOnceTheLinkHasRoom)
{
    // Only while frames are skipped for the uplink, and only once the video
    // queued before has left.
    EXPECT_FALSE(KeyFrameRequestDue({false, 0, -1, 0}));
    EXPECT_FALSE(KeyFrameRequestDue({true, -1, -1, 0}));
    EXPECT_TRUE(KeyFrameRequestDue({true, 0, -1, 0}));
    // Nor while the kernel holds more than a moment's video: the key frame
    // would wait behind it.
    EXPECT_FALSE(KeyFrameRequestDue({true, kKeyRequestBacklogMs + 1, -1, 0}));
    EXPECT_TRUE(KeyFrameRequestDue({true, kKeyRequestBacklogMs, -1, 0}));
    // Not when the camera's own key frame comes very soon anyway.
    EXPECT_FALSE(KeyFrameRequestDue({true, 0, -1, kOwnKeyFrameSoonMs}));
    EXPECT_TRUE(KeyFrameRequestDue({true, 0, -1, kOwnKeyFrameSoonMs + 1}));
    // At most one request per spacing, however long the wait lasts: on a
    // link at a quarter of the video's rate, a key frame a minute would
    // otherwise be asked for on every pass.
    EXPECT_FALSE(KeyFrameRequestDue({true, 0, kKeyRequestSpacingMs - 1, 0}));
    EXPECT_TRUE(KeyFrameRequestDue({true, 0, kKeyRequestSpacingMs, 0}));
    int asked = 0;
    int64_t last = -1;
    for (int64_t now = 0; now < 60000; now += 10) {
        if (KeyFrameRequestDue({true, 0, last >= 0 ? now - last : -1, 0})) {
            last = now;
            ++asked;
        }
    }
    EXPECT_EQ(60000 / kKeyRequestSpacingMs, asked);
}

TEST(VideoDrop, NoKeyFrameIsAskedForThatTheComingHeartbeatWouldDrop)
{
    // Asked for exactly when no moment of its arrival meets the queue's own
    // verdict for it; 2.2 s is level 5's key frame at half its rate, 12 s
    // one that cannot leave within a heartbeat's rhythm.
    VideoPace pace = Pace(false);
    pace.controlRhythmMs = 10000;
    for (int64_t keyLeave : {int64_t(2200), int64_t(12000)}) {
        for (int64_t due = -500; due <= 12000; due += 10) {
            bool dropped = false;
            VideoPace then = pace;
            for (int64_t arrive = 0; arrive <= kKeyFrameArriveMs; ++arrive) {
                then.controlDueInMs = due - arrive;
                dropped = dropped || JudgeControlHold(keyLeave, then) == kVideoDropStale;
            }
            pace.controlDueInMs = due;
            EXPECT_EQ(dropped, KeyFrameWouldBeHeldBack(keyLeave, pace)) << keyLeave << " " << due;
        }
    }
    // The case that froze the picture: heartbeat due in a second.
    pace.controlDueInMs = 900;
    EXPECT_TRUE(KeyFrameWouldBeHeldBack(2200, pace));
    // Nothing known about the link, or no rhythm: nothing holds it back.
    EXPECT_FALSE(KeyFrameWouldBeHeldBack(0, pace));
    pace.controlRhythmMs = 0;
    EXPECT_FALSE(KeyFrameWouldBeHeldBack(2200, pace));
}

namespace {
PacketSlot *Fill(PacketBuffer &pool, bool video, int32_t tag)
{
    PacketSlot *slot = pool.TakeFreeSlot(video ? kClaimVideo : kClaimControl);
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
    EXPECT_EQ(nullptr, pool.TakeFreeSlot());

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
    PacketSlot *slot = pool.TakeFreeSlot();
    ASSERT_NE(nullptr, slot);
    EXPECT_FALSE(slot->video);
    pool.ReturnSlot(slot);
}
