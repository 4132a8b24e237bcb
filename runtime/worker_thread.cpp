#include "runtime/worker_thread.h"

#include "runtime/clock.h"

namespace {
const int32_t kPauseSliceMs = 300;
}

WorkerThread::WorkerThread()
    : m_Thread(), m_HasThread(false), m_Running(false), m_PeriodMs(0), m_RunOnce(false), m_Finished(false),
      m_Entry(nullptr), m_Arg(nullptr)
{
}

WorkerThread::~WorkerThread()
{
    Stop();
}

int32_t WorkerThread::Start(WorkerEntry entry, void *arg, bool runOnce, int32_t periodMs)
{
    if (IsRunning())
        return 1;
    if (m_HasThread) {
        pthread_join(m_Thread, nullptr);
        m_HasThread = false;
    }
    m_Entry = entry;
    m_Arg = arg;
    m_RunOnce = runOnce;
    m_PeriodMs = periodMs;
    m_Finished.store(false, std::memory_order_relaxed);
    m_Running.store(true, std::memory_order_relaxed);
    int error = pthread_create(&m_Thread, nullptr, &WorkerThread::ThreadMain, this);
    if (error != 0) {
        m_Running.store(false, std::memory_order_relaxed);
        return error;
    }
    m_HasThread = true;
    return 0;
}

void WorkerThread::Stop()
{
    m_Running.store(false, std::memory_order_relaxed);
    if (m_HasThread) {
        pthread_join(m_Thread, nullptr);
        m_HasThread = false;
    }
}

void *WorkerThread::ThreadMain(void *self)
{
    static_cast<WorkerThread *>(self)->Loop();
    return nullptr;
}

void WorkerThread::Loop()
{
    for (;;) {
        if (!IsRunning())
            return;
        if (m_Entry != nullptr)
            m_Entry(m_Arg);
        if (m_RunOnce) {
            m_Running.store(false, std::memory_order_relaxed);
            m_Finished.store(true, std::memory_order_relaxed);
            return;
        }
        int32_t remaining = m_PeriodMs;
        if (remaining <= 0)
            continue;
        // The pause is cut into slices so that Stop is noticed within one.
        while (remaining > 0) {
            if (!IsRunning())
                return;
            SleepMs(remaining < kPauseSliceMs ? remaining : kPauseSliceMs);
            remaining -= kPauseSliceMs;
        }
    }
}
