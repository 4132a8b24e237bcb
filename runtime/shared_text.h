#ifndef RUNTIME_SHARED_TEXT_H
#define RUNTIME_SHARED_TEXT_H

#include <string>

#include "runtime/mutex.h"

// A text written by one thread and read by others: every reader gets a
// whole copy of either the old or the new value, never a mixture.
class SharedText {
public:
    SharedText() {}
    SharedText(const SharedText &) = delete;
    SharedText &operator=(const SharedText &) = delete;

    void Set(const std::string &value)
    {
        MutexGuard guard(m_Lock);
        m_Value = value;
    }
    std::string Get() const
    {
        MutexGuard guard(m_Lock);
        return m_Value;
    }

private:
    mutable Mutex m_Lock;
    std::string m_Value;
};

#endif
