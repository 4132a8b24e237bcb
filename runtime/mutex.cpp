#include "runtime/mutex.h"

Mutex::Mutex()
{
    pthread_mutex_init(&m_Mutex, nullptr);
}

Mutex::~Mutex()
{
    pthread_mutex_destroy(&m_Mutex);
}

int Mutex::Lock()
{
    return pthread_mutex_lock(&m_Mutex);
}

int Mutex::Unlock()
{
    return pthread_mutex_unlock(&m_Mutex);
}
