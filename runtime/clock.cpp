#include "runtime/clock.h"

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace {
// Test seam: time passed moves both clocks, a wall-clock step NowMs only.
std::atomic<int32_t> g_PassedMs(0);
std::atomic<int32_t> g_WallStepMs(0);

// Adds in wrapping 32-bit arithmetic.
int32_t WrappingSum(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

void AddTo(std::atomic<int32_t> *offset, int32_t deltaMs)
{
    int32_t old = offset->load(std::memory_order_relaxed);
    while (!offset->compare_exchange_weak(old, WrappingSum(old, deltaMs), std::memory_order_relaxed)) {
    }
}
}  // namespace

int32_t WallClockMs(int64_t seconds, int64_t microseconds)
{
    // Wrapping 32-bit arithmetic, done unsigned to keep it well defined.
    uint32_t ms = static_cast<uint32_t>(seconds) * 1000u + static_cast<uint32_t>(microseconds / 1000);
    return static_cast<int32_t>(ms);
}

int32_t NowMs()
{
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0)
        return 0;
    return WrappingSum(WallClockMs(tv.tv_sec, tv.tv_usec), ClockOffsetMs());
}

int64_t MonotonicMs()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000 +
           g_PassedMs.load(std::memory_order_relaxed);
}

int32_t MonotonicNowMs()
{
    return static_cast<int32_t>(static_cast<uint32_t>(MonotonicMs()));
}

uint32_t AbsDiffMs(int32_t later, int32_t earlier)
{
    int32_t diff = static_cast<int32_t>(ElapsedMs(later, earlier));
    return diff < 0 ? 0u - static_cast<uint32_t>(diff) : static_cast<uint32_t>(diff);
}

void SleepMs(int ms)
{
    if (ms < 0)
        ms = 0;
    struct timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    select(0, nullptr, nullptr, nullptr, &tv);
}

void SetClockOffsetMs(int32_t offsetMs)
{
    g_PassedMs.store(offsetMs, std::memory_order_relaxed);
    g_WallStepMs.store(0, std::memory_order_relaxed);
}

void AdvanceClockMs(int32_t deltaMs)
{
    AddTo(&g_PassedMs, deltaMs);
}

void StepWallClockMs(int32_t deltaMs)
{
    AddTo(&g_WallStepMs, deltaMs);
}

int32_t ClockOffsetMs()
{
    return WrappingSum(g_PassedMs.load(std::memory_order_relaxed), g_WallStepMs.load(std::memory_order_relaxed));
}
