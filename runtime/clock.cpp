#include "runtime/clock.h"

#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

#include <atomic>

namespace {
std::atomic<int32_t> g_OffsetMs(0);
}

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
    uint32_t ms = static_cast<uint32_t>(WallClockMs(tv.tv_sec, tv.tv_usec));
    ms += static_cast<uint32_t>(g_OffsetMs.load(std::memory_order_relaxed));
    return static_cast<int32_t>(ms);
}

int64_t MonotonicMs()
{
    struct timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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
    g_OffsetMs.store(offsetMs, std::memory_order_relaxed);
}

void AdvanceClockMs(int32_t deltaMs)
{
    int32_t old = g_OffsetMs.load(std::memory_order_relaxed);
    while (!g_OffsetMs.compare_exchange_weak(
        old, static_cast<int32_t>(static_cast<uint32_t>(old) + static_cast<uint32_t>(deltaMs)),
        std::memory_order_relaxed)) {
    }
}

int32_t ClockOffsetMs()
{
    return g_OffsetMs.load(std::memory_order_relaxed);
}
