#ifndef RUNTIME_WAKE_SIGNAL_H
#define RUNTIME_WAKE_SIGNAL_H

#include <pthread.h>

// Lets one thread sleep until another posts work, or a time-out passes.
// The time-out runs on the monotonic clock, so a step of the wall clock can
// neither stretch nor shorten it. A post with nobody waiting is kept for the
// next wait.
class WakeSignal {
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    // Any thread.
    void Post();
    // Waits for a post, for at most timeoutMs (forever when negative).
    // True when a post ended it; the post is consumed either way.
    bool Wait(int timeoutMs);

private:
    pthread_mutex_t m_Lock;
    pthread_cond_t m_Posted;
    bool m_Pending;  // under m_Lock
};

#endif
