#ifndef RUNTIME_MUTEX_H
#define RUNTIME_MUTEX_H

#include <pthread.h>

// Plain, non-recursive POSIX mutex. Every shared structure has its own, and
// no operation ever holds two at once.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    int Lock();
    int Unlock();

private:
    pthread_mutex_t m_Mutex;
};

// Holds a Mutex for the life of a scope.
class MutexGuard {
public:
    explicit MutexGuard(Mutex &mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
    ~MutexGuard() { m_Mutex.Unlock(); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    Mutex &m_Mutex;
};

#endif
