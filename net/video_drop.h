#ifndef NET_VIDEO_DROP_H
#define NET_VIDEO_DROP_H

#include <stdint.h>

// Live video on a link that cannot carry it all: a frame that would reach
// the viewer late is worth less than the next one, and a frame after a
// dropped one cannot be decoded until the next key frame.

// How long a frame may wait in the agent, beyond what the link needs for
// the key frame of its group, before it is too old to be worth sending:
// what it then still spends in the kernel's small unsent queue and on the
// path (a bottleneck buffer holds about half a second) keeps its delay at
// the viewer within about a second of that key frame's own sending time.
const int64_t kStaleVideoMs = 300;

// The unsent bytes the kernel may hold for a relay link (TCP_NOTSENT_LOWAT):
// beyond them the agent, not the kernel, decides what waits.
const int kRelayUnsentLimit = 2048;

// How much later than due a control packet may leave behind a video packet
// that has started to leave (it can never be cut), and how much earlier
// than due it may be sent instead, ahead of such a packet: a heartbeat
// rhythm of 10 s then keeps its gaps between 9.5 and 11.5 s, which leaves
// the path's own jitter room within 8 to 12.
const int64_t kControlSlackMs = 1500;
const int64_t kControlEarlyMs = 500;

enum VideoVerdict {
    kVideoSend,
    kVideoDropStale,
    kVideoDropToKey,
    // Leave it queued: control is due before it could leave, and would
    // then wait behind it too long. The owner sends control first.
    kVideoControlFirst
};

// A queued video frame at the head of the send queue, and what the link
// showed lately.
struct QueuedVideo {
    bool keyFrame;
    int64_t ageMs;      // since the camera handed it over
    int64_t leaveMs;    // time it needs to leave at the link's pace; 0: unknown
    int64_t aheadMs;    // of that, what the kernel and the path still hold
};

// A key frame that would wait longer than this behind what the kernel and
// the path still hold (typically the key frame before it, asked for just
// ahead of the camera's own) reaches the viewer too late to be worth the
// link: beyond its own sending time it would add the other's. With the
// pace's estimate a fifth off, 0.8 s keeps it within a second of its own
// sending time. A bottleneck's floor of two packets stays under it down to
// 40 kbit/s (0.6 s); below that the camera's own key frames give way to
// ones asked for once the path has drained.
const int64_t kKeyFrameAheadMs = 800;

struct VideoPace {
    // Frames have been dropped since the last key frame sent.
    bool dropToKey;
    int64_t staleMs;  // 0: no frame is dropped for its age
    // How long the last key frame took to leave: the frames of its group
    // waited behind it and the backlog it left, not for a thin link.
    int64_t keyLeaveMs;
    // Until the next control packet is due (may be negative: overdue), and
    // the rhythm control keeps; rhythm 0: no control rhythm to protect.
    int64_t controlDueInMs;
    int64_t controlRhythmMs;
};

// Whether a video packet that needs `leaveMs` to leave would keep control
// waiting longer than its rhythm allows: kVideoSend when not,
// kVideoControlFirst when control is nearly due and, sent first, makes
// room, and kVideoDropStale otherwise (a late frame is worth less than the
// link).
inline VideoVerdict JudgeControlHold(int64_t leaveMs, const VideoPace &pace)
{
    if (pace.controlRhythmMs <= 0 || leaveMs <= 0 || leaveMs <= pace.controlDueInMs + kControlSlackMs)
        return kVideoSend;
    if (pace.controlDueInMs <= kControlEarlyMs && leaveMs <= pace.controlRhythmMs + kControlSlackMs)
        return kVideoControlFirst;
    return kVideoDropStale;
}

// What becomes of a queued video frame at the head of the send queue.
inline VideoVerdict JudgeQueuedVideo(const QueuedVideo &frame, const VideoPace &pace)
{
    if (pace.dropToKey && !frame.keyFrame)
        return kVideoDropToKey;
    if (pace.staleMs > 0 && frame.ageMs > pace.staleMs + pace.keyLeaveMs)
        return kVideoDropStale;
    if (pace.staleMs > 0 && frame.keyFrame && frame.aheadMs > kKeyFrameAheadMs)
        return kVideoDropStale;
    return JudgeControlHold(frame.leaveMs, pace);
}

// Whether a key frame that needs `keyLeaveMs` to leave, asked for now,
// could be dropped by JudgeControlHold to keep control in its rhythm: it
// reaches the head of the queue at once or up to kKeyFrameArriveMs later
// (the camera may finish the frame it is building first). Asked then, it
// would be lost and the next request would wait its spacing.
const int64_t kKeyFrameArriveMs = 250;

inline bool KeyFrameWouldBeHeldBack(int64_t keyLeaveMs, const VideoPace &pace)
{
    if (pace.controlRhythmMs <= 0 || keyLeaveMs <= 0)
        return false;
    // Control due-in times at the head of the queue that drop it: too soon
    // for it to be gone, yet not so near that control goes first (unless
    // it could not leave within a whole rhythm anyway).
    int64_t dropBelow = keyLeaveMs - kControlSlackMs;
    bool neverAfterControl = keyLeaveMs > pace.controlRhythmMs + kControlSlackMs;
    int64_t earliest = pace.controlDueInMs - kKeyFrameArriveMs;
    int64_t latest = pace.controlDueInMs;
    return earliest < dropBelow && (neverAfterControl || latest > kControlEarlyMs);
}

// Asking the camera for a key frame after frames were dropped for the
// uplink: at most one request in kKeyRequestSpacingMs, only once the frames
// queued before have left (the kernel holding no more than
// kKeyRequestBacklogMs of them, so the key frame does not wait behind
// them), so the frames after each key frame get their turn on the link and
// a thin link never carries key frames only, and not when the camera's own
// next key frame is due within kOwnKeyFrameSoonMs anyway.
const int64_t kKeyRequestSpacingMs = 2000;
const int64_t kKeyRequestBacklogMs = 250;
const int64_t kOwnKeyFrameSoonMs = 1000;

struct KeyFrameWait {
    bool waiting;          // frames are skipped for the uplink until a key frame
    int64_t backlogMs;     // video still to leave; negative: queued in the agent
    int64_t sinceAskedMs;  // since the previous request; negative: none yet
    int64_t ownKeyInMs;    // until the camera's own next key frame; 0 or less: not known
};

inline bool KeyFrameRequestDue(const KeyFrameWait &wait)
{
    if (!wait.waiting || wait.backlogMs < 0 || wait.backlogMs > kKeyRequestBacklogMs)
        return false;
    if (wait.sinceAskedMs >= 0 && wait.sinceAskedMs < kKeyRequestSpacingMs)
        return false;
    return wait.ownKeyInMs <= 0 || wait.ownKeyInMs > kOwnKeyFrameSoonMs;
}

#endif
