// CSemaphore: an unnamed semaphore with count 1 and maximum 1, used as a lock between the user-interface
// thread and the enumeration thread. Every wait is MsgWaitForMultipleObjects on the one handle with no wake
// mask, so only the semaphore ends it. CSemaphoreLock holds it for one scope.
#pragma once

#include <windows.h>

namespace Kavelor
{
class CSemaphore
{
public:
    // Raises CResourceException when the semaphore cannot be created.
    CSemaphore();
    ~CSemaphore();
    CSemaphore(const CSemaphore&) = delete;
    CSemaphore& operator=(const CSemaphore&) = delete;

    void Lock();
    void Unlock();

private:
    HANDLE m_hSemaphore;
};

class CSemaphoreLock
{
public:
    explicit CSemaphoreLock(CSemaphore& semaphore) : m_semaphore(semaphore) { m_semaphore.Lock(); }
    ~CSemaphoreLock() { m_semaphore.Unlock(); }
    CSemaphoreLock(const CSemaphoreLock&) = delete;
    CSemaphoreLock& operator=(const CSemaphoreLock&) = delete;

private:
    CSemaphore& m_semaphore;
};
} // namespace Kavelor
