// CSemaphore: the count-1 semaphore behind the locks of the enumeration thread and CSemaphoreValue.
#include "trayapp/Semaphore.h"

#include "trayapp/ResourceException.h"

namespace Kavelor
{
CSemaphore::CSemaphore() : m_hSemaphore(CreateSemaphoreW(nullptr, 1, 1, nullptr))
{
    if (m_hSemaphore == nullptr)
    {
        throw CResourceException();
    }
}

CSemaphore::~CSemaphore()
{
    CloseHandle(m_hSemaphore);
}

// Only the handle may end the wait: no wake mask, so a message arriving for the thread does not.
void CSemaphore::Lock()
{
    MsgWaitForMultipleObjects(1, &m_hSemaphore, FALSE, INFINITE, 0);
}

void CSemaphore::Unlock()
{
    ReleaseSemaphore(m_hSemaphore, 1, nullptr);
}
} // namespace Kavelor
