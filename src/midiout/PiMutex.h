#pragma once

#include <pthread.h>

// A mutex with priority inheritance: a real-time clock thread that waits for
// it lends its priority to the holder, so a preempted ordinary thread cannot
// hold the clock up for a whole time slice.
class CPiMutex
{
public:
    CPiMutex()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~CPiMutex() { pthread_mutex_destroy(&m_mutex); }
    CPiMutex(const CPiMutex&) = delete;
    CPiMutex& operator=(const CPiMutex&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    bool try_lock() { return pthread_mutex_trylock(&m_mutex) == 0; }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

private:
    pthread_mutex_t m_mutex;
};
