// CResourceException: raised when a synchronisation object the application cannot run without (a
// semaphore) cannot be created. Like running out of memory, it is not a result to handle but the end of
// the operation that needed the object.
#pragma once

#include <exception>

namespace Kavelor
{
class CResourceException : public std::exception
{
public:
    const char* what() const noexcept override { return "a synchronisation object could not be created"; }
};
} // namespace Kavelor
