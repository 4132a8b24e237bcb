#ifndef DISCOVERY_ANSWER_RATE_LIMIT_H
#define DISCOVERY_ANSWER_RATE_LIMIT_H

#include <stdint.h>

// Every discovery answer is a broadcast that each host on the LAN receives,
// so a host that floods the probe must not get an answer for each one: the
// answers leave at most 10 a second, with a burst of 5 so that a tool
// probing a few times in a row, or a few tools at once, get every answer.
// A token bucket kept as time credit on the monotonic clock; it needs no
// thread or timer of its own, only the reading when a probe arrives.

const int64_t kDiscoveryAnswerSpacingMs = 100; // 10 answers a second
const int64_t kDiscoveryAnswerBurst = 5;
// A console line about unanswered probes, at most once a minute.
const int64_t kDiscoveryNoticeSpacingMs = 60000;

class DiscoveryRateLimit {
public:
    DiscoveryRateLimit()
        : m_CreditMs(kDiscoveryAnswerSpacingMs * kDiscoveryAnswerBurst), m_LastMs(0), m_Started(false),
          m_LastNoticeMs(0), m_Noticed(false)
    {
    }

    // For a probe arriving at nowMs (MonotonicMs): true when it may be
    // answered, which spends one answer of the bucket.
    bool TakeAnswer(int64_t nowMs);

    // For a probe left unanswered at nowMs: true when the console line is
    // due, the first time and then at most once a minute.
    bool TakeNotice(int64_t nowMs);

private:
    int64_t m_CreditMs; // up to kDiscoveryAnswerBurst answers' worth
    int64_t m_LastMs;
    bool m_Started;
    int64_t m_LastNoticeMs;
    bool m_Noticed;
};

#endif
