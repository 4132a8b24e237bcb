#ifndef RUNTIME_CLOCK_H
#define RUNTIME_CLOCK_H

#include <stdint.h>

// Wall-clock milliseconds modulo 2^32, read as signed. Readings have no
// fixed origin: callers compare only the 32-bit difference of two readings.
int32_t NowMs();

// The reading for a wall-clock time: seconds * 1000 + microseconds / 1000 in
// wrapping 32-bit arithmetic (NowMs without the test offset).
int32_t WallClockMs(int64_t seconds, int64_t microseconds);

// Milliseconds elapsed from `earlier` to `later`, as an unsigned 32-bit
// difference (right across a wrap for intervals below 2^31 ms).
inline uint32_t ElapsedMs(int32_t later, int32_t earlier)
{
    return static_cast<uint32_t>(later) - static_cast<uint32_t>(earlier);
}

// Absolute value of the signed 32-bit difference of two readings.
uint32_t AbsDiffMs(int32_t later, int32_t earlier);

// Milliseconds on the monotonic clock, which wall-clock steps do not move.
// For measuring how long a wait has lasted, and for the discovery answer
// rate, which a step of the clock must not loosen.
int64_t MonotonicMs();

// The monotonic clock modulo 2^32, read as signed: compared like NowMs
// readings, but NTP and the relay server's time command cannot move it.
// Heartbeats, silence, the login retry and the alarm spacing count on it,
// so a step of the wall clock neither hastens nor delays them. 32 bits so
// that the times kept in atomics stay lock-free on every ARM core.
int32_t MonotonicNowMs();

// Waits `ms` milliseconds with a select on no descriptors; a signal may cut
// the wait short.
void SleepMs(int ms);

// Test seam. Time passing moves both clocks; a step of the wall clock (NTP,
// the relay server's time command) moves NowMs only.
// AdvanceClockMs: `deltaMs` (not negative) of time pass at once.
// StepWallClockMs: the wall clock is set forward or back by `deltaMs`.
// SetClockOffsetMs: both clocks back to the system's own plus `offsetMs`
// of time passed, with no step (tests pass 0 to undo their moves).
// ClockOffsetMs: what NowMs adds to the system's wall clock now.
void SetClockOffsetMs(int32_t offsetMs);
void AdvanceClockMs(int32_t deltaMs);
void StepWallClockMs(int32_t deltaMs);
int32_t ClockOffsetMs();

#endif
