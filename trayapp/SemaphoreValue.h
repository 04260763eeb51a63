// CSemaphoreValue: a value that two threads share, read and written only while holding its own semaphore.
// Update runs a read-modify-write inside one hold, so no change of the other thread can fall between the
// read and the write (the scan-request count relies on that).
#pragma once

#include "trayapp/Semaphore.h"

namespace Kavelor
{
template <class T> class CSemaphoreValue
{
public:
    CSemaphoreValue()
    {
        CSemaphoreLock hold(m_semaphore);
        m_value = T();
    }
    virtual ~CSemaphoreValue() = default;
    CSemaphoreValue(const CSemaphoreValue&) = delete;
    CSemaphoreValue& operator=(const CSemaphoreValue&) = delete;

    T Get()
    {
        CSemaphoreLock hold(m_semaphore);
        return m_value;
    }

    void Set(const T& value)
    {
        CSemaphoreLock hold(m_semaphore);
        m_value = value;
    }

    // Calls change(value) under one hold and returns what it returns.
    template <class F> auto Update(F change)
    {
        CSemaphoreLock hold(m_semaphore);
        return change(m_value);
    }

private:
    CSemaphore m_semaphore;
    T m_value;
};
} // namespace Kavelor
