#ifndef RUNTIME_WORKER_THREAD_H
#define RUNTIME_WORKER_THREAD_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

// Entry function of a worker; its result is ignored.
typedef int (*WorkerEntry)(void *arg);

// Runs an entry function once, or over and over with a pause, on its own
// POSIX thread. Start, Stop and IsRunning belong to the owning thread.
class WorkerThread {
public:
    WorkerThread();
    ~WorkerThread();
    WorkerThread(const WorkerThread &) = delete;
    WorkerThread &operator=(const WorkerThread &) = delete;

    // Does nothing (and returns non-zero) while running. Otherwise joins a
    // thread that ended by itself, then starts a new one; 0 on success, the
    // creation error otherwise.
    int32_t Start(WorkerEntry entry, void *arg, bool runOnce, int32_t periodMs);
    // Clears the running flag and joins the thread, without a time limit.
    void Stop();
    bool IsRunning() const { return m_Running.load(std::memory_order_relaxed); }
    bool IsFinished() const { return m_Finished.load(std::memory_order_relaxed); }
    bool HoldsThread() const { return m_HasThread; }

private:
    static void *ThreadMain(void *self);
    void Loop();

    pthread_t m_Thread;
    bool m_HasThread;
    std::atomic<bool> m_Running;
    int32_t m_PeriodMs;
    bool m_RunOnce;
    std::atomic<bool> m_Finished;
    WorkerEntry m_Entry;
    void *m_Arg;
};

#endif
