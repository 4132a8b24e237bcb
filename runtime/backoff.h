#ifndef RUNTIME_BACKOFF_H
#define RUNTIME_BACKOFF_H

#include <stdint.h>

// Where a backoff's jitter comes from; a test hands in its own to pin the
// schedule.
class IRandomSource {
public:
    virtual ~IRandomSource() {}
    virtual uint32_t Next() = 0;
};

// A small generator (xorshift) whose seed differs per process and per
// instance: cameras that lost a server at the same moment must not retry in
// step, even when they booted identically.
class SeededRandom : public IRandomSource {
public:
    SeededRandom();
    uint32_t Next() override;

private:
    uint32_t m_State;
};

// The reconnect schedule of all links: 1 to 2 s after the first failure in
// a row, then windows three times as long, up to the cap of a minute.
const uint32_t kReconnectFirstMs = 1000;
const uint32_t kReconnectCapMs = 60000;
const uint32_t kReconnectGrowth = 3;

// Paces the retries of one link after failures. The first failure in a row
// waits firstMs to 2 * firstMs: a short blip costs a second or two. The
// n-th waits a random time from firstMs to a ceiling of 2 * firstMs *
// kReconnectGrowth^(n-1), at most capMs: drawn from the whole window, so
// that a fleet that lost a server together is spread over it when the
// server returns, even after an outage of a few seconds. Times are
// MonotonicNowMs readings. One thread uses one object.
class Backoff {
public:
    // `random` null: the object's own SeededRandom.
    Backoff(uint32_t firstMs, uint32_t capMs, IRandomSource *random = nullptr);
    Backoff(const Backoff &) = delete;
    Backoff &operator=(const Backoff &) = delete;

    // A failed attempt (or a lost link) at `now`; returns the wait before
    // the next attempt.
    uint32_t Fail(int32_t now);
    // Draws the wait after the last failure anew, so that the next attempt
    // falls due between `fromMs` and `toMs` after the first failure in a
    // row (at once when both have passed); returns it.
    uint32_t RedrawDueBetween(uint32_t fromMs, uint32_t toMs);
    // A success: the next failure starts from the first step again.
    void Reset();
    // Milliseconds until the next attempt is due; 0 when it is, or when
    // nothing has failed.
    uint32_t MsUntilDue(int32_t now) const;
    // How long the failures in a row have lasted, from the first; 0 when
    // nothing has failed.
    uint32_t FailingForMs(int32_t now) const;
    uint32_t Failures() const { return m_Failures; }

private:
    uint32_t CeilingMs() const;

    uint32_t m_FirstMs;
    uint32_t m_CapMs;
    SeededRandom m_OwnRandom;
    IRandomSource *m_Random;
    uint32_t m_Failures;
    int32_t m_FirstFailedAt;
    int32_t m_FailedAt;
    uint32_t m_DelayMs;
};

#endif
