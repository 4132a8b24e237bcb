#include "discovery/answer_rate_limit.h"

bool DiscoveryRateLimit::TakeAnswer(int64_t nowMs)
{
    if (m_Started && nowMs > m_LastMs)
        m_CreditMs += nowMs - m_LastMs;
    m_Started = true;
    m_LastMs = nowMs;
    const int64_t full = kDiscoveryAnswerSpacingMs * kDiscoveryAnswerBurst;
    if (m_CreditMs > full)
        m_CreditMs = full;
    if (m_CreditMs < kDiscoveryAnswerSpacingMs)
        return false;
    m_CreditMs -= kDiscoveryAnswerSpacingMs;
    return true;
}

bool DiscoveryRateLimit::TakeNotice(int64_t nowMs)
{
    if (m_Noticed && nowMs - m_LastNoticeMs < kDiscoveryNoticeSpacingMs)
        return false;
    m_Noticed = true;
    m_LastNoticeMs = nowMs;
    return true;
}
