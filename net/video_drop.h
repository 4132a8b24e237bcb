#ifndef NET_VIDEO_DROP_H
#define NET_VIDEO_DROP_H

#include <stdint.h>

// Live video on a link that cannot carry it all: a frame that would reach
// the viewer late is worth less than the next one, and a frame after a
// dropped one cannot be decoded until the next key frame.

// How long a frame may wait in the agent before it is too old to be worth
// sending: what it then still spends in the kernel's small unsent queue and
// on the path (a bottleneck buffer holds about half a second) keeps its
// delay at the viewer within about a second.
const int64_t kStaleVideoMs = 300;

// The unsent bytes the kernel may hold for a relay link (TCP_NOTSENT_LOWAT):
// beyond them the agent, not the kernel, decides what waits.
const int kRelayUnsentLimit = 2048;

enum VideoVerdict { kVideoSend, kVideoDropStale, kVideoDropToKey };

// What becomes of a queued video frame at the head of the send queue.
// `dropToKey`: frames have been dropped since the last key frame sent.
inline VideoVerdict JudgeQueuedVideo(bool dropToKey, bool keyFrame, int64_t ageMs, int64_t staleMs)
{
    if (dropToKey && !keyFrame)
        return kVideoDropToKey;
    if (staleMs > 0 && ageMs > staleMs)
        return kVideoDropStale;
    return kVideoSend;
}

#endif
