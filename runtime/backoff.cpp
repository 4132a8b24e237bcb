#include "runtime/backoff.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "runtime/clock.h"

namespace {
std::atomic<uint32_t> g_Instances(0);

// Mixes the bits of a value (the finaliser of MurmurHash3).
uint32_t Mix(uint32_t x)
{
    x ^= x >> 16;
    x *= 0x85ebca6bu;
    x ^= x >> 13;
    x *= 0xc2b2ae35u;
    x ^= x >> 16;
    return x;
}

// Random bytes from the kernel where it has them, the clocks and the
// process id besides: cameras that boot alike still differ in these.
uint32_t ProcessSeed()
{
    uint32_t seed = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (read(fd, &seed, sizeof(seed)) != static_cast<ssize_t>(sizeof(seed)))
            seed = 0;
        close(fd);
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    seed ^= Mix(static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec));
    clock_gettime(CLOCK_REALTIME, &now);
    seed ^= Mix(static_cast<uint32_t>(now.tv_nsec) + static_cast<uint32_t>(getpid()));
    return seed;
}
}  // namespace

SeededRandom::SeededRandom()
{
    static const uint32_t processSeed = ProcessSeed();
    m_State = Mix(processSeed + 0x9e3779b9u * ++g_Instances);
    if (m_State == 0)
        m_State = 1;  // xorshift stays at 0 for ever
}

uint32_t SeededRandom::Next()
{
    m_State ^= m_State << 13;
    m_State ^= m_State >> 17;
    m_State ^= m_State << 5;
    return m_State;
}

Backoff::Backoff(uint32_t firstMs, uint32_t capMs, IRandomSource *random)
    : m_FirstMs(firstMs), m_CapMs(capMs), m_Random(random != nullptr ? random : &m_OwnRandom),
      m_Failures(0), m_FirstFailedAt(0), m_FailedAt(0), m_DelayMs(0)
{
}

uint32_t Backoff::CeilingMs() const
{
    uint64_t ceiling = 2ull * m_FirstMs;
    for (uint32_t i = 1; i < m_Failures && ceiling < m_CapMs; ++i)
        ceiling *= kReconnectGrowth;
    return ceiling < m_CapMs ? static_cast<uint32_t>(ceiling) : m_CapMs;
}

uint32_t Backoff::Fail(int32_t now)
{
    if (m_Failures == 0)
        m_FirstFailedAt = now;
    if (m_Failures < UINT32_MAX)
        ++m_Failures;
    uint32_t ceiling = CeilingMs();
    uint32_t least = m_Failures == 1 ? ceiling / 2 : (m_FirstMs < ceiling ? m_FirstMs : ceiling);
    m_DelayMs = least + m_Random->Next() % (ceiling - least + 1);
    m_FailedAt = now;
    return m_DelayMs;
}

uint32_t Backoff::RedrawDueBetween(uint32_t fromMs, uint32_t toMs)
{
    if (m_Failures == 0)
        return 0;
    uint32_t failedAfter = ElapsedMs(m_FailedAt, m_FirstFailedAt);
    uint32_t earliest = fromMs > failedAfter ? fromMs - failedAfter : 0;
    uint32_t latest = toMs > failedAfter ? toMs - failedAfter : 0;
    if (latest < earliest)
        latest = earliest;
    m_DelayMs = earliest + m_Random->Next() % (latest - earliest + 1);
    return m_DelayMs;
}

void Backoff::Reset()
{
    m_Failures = 0;
    m_DelayMs = 0;
}

uint32_t Backoff::MsUntilDue(int32_t now) const
{
    if (m_Failures == 0)
        return 0;
    uint32_t waited = ElapsedMs(now, m_FailedAt);
    return waited >= m_DelayMs ? 0 : m_DelayMs - waited;
}

uint32_t Backoff::FailingForMs(int32_t now) const
{
    return m_Failures == 0 ? 0 : ElapsedMs(now, m_FirstFailedAt);
}
