#include "runtime/wake_signal.h"

#include <errno.h>
#include <time.h>

WakeSignal::WakeSignal() : m_Pending(false)
{
    pthread_mutex_init(&m_Lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_Posted, &attributes);
    pthread_condattr_destroy(&attributes);
}

WakeSignal::~WakeSignal()
{
    pthread_cond_destroy(&m_Posted);
    pthread_mutex_destroy(&m_Lock);
}

void WakeSignal::Post()
{
    pthread_mutex_lock(&m_Lock);
    m_Pending = true;
    pthread_cond_signal(&m_Posted);
    pthread_mutex_unlock(&m_Lock);
}

bool WakeSignal::Wait(int timeoutMs)
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    if (timeoutMs > 0) {
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    pthread_mutex_lock(&m_Lock);
    while (!m_Pending) {
        int rc = timeoutMs < 0 ? pthread_cond_wait(&m_Posted, &m_Lock)
                               : pthread_cond_timedwait(&m_Posted, &m_Lock, &deadline);
        if (rc == ETIMEDOUT)
            break;
    }
    bool posted = m_Pending;
    m_Pending = false;
    pthread_mutex_unlock(&m_Lock);
    return posted;
}
