// winsim: bug checks and the simulation's global reset. KeBugCheckEx stops the "system" as Windows does:
// it prints the code, its parameters and the broken rule and aborts the process, unless a test holds a
// BugCheckTrap, in which case the check is recorded and thrown as BugCheckError so the test can assert
// that the rule fires. ResetKernel() runs the reset hooks that every part of the simulation registers.
#include "winsim/kernel/kernel_state.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace winsim
{
namespace
{

struct TrapState
{
    std::mutex mutex;
    int traps = 0;
    std::vector<BugCheckInfo> recorded;
};

TrapState& Traps()
{
    static TrapState state;
    return state;
}

std::string Describe(const BugCheckInfo& info)
{
    char text[160];
    std::snprintf(text, sizeof text, "*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX) ",
                  unsigned(info.code), (unsigned long long)info.parameters[0],
                  (unsigned long long)info.parameters[1], (unsigned long long)info.parameters[2],
                  (unsigned long long)info.parameters[3]);
    return text + info.description;
}

struct ResetHooks
{
    std::mutex mutex;
    std::multimap<int, std::function<void()>> hooks;
};

ResetHooks& Hooks()
{
    static ResetHooks hooks;
    return hooks;
}

} // namespace

BugCheckError::BugCheckError(const BugCheckInfo& info) : std::runtime_error(Describe(info)), info_(info) {}

BugCheckTrap::BugCheckTrap()
{
    std::lock_guard<std::mutex> lock(Traps().mutex);
    if (Traps().traps++ == 0)
    {
        Traps().recorded.clear();
    }
}

BugCheckTrap::~BugCheckTrap()
{
    {
        std::lock_guard<std::mutex> lock(Traps().mutex);
        --Traps().traps;
    }
    // A check thrown out of a driver routine leaves the thread as the routine left it.
    auto& thread = detail::CurrentThreadState();
    for (PKSPIN_LOCK lock : thread.heldLocks)
    {
        __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
    }
    thread.heldLocks.clear();
    thread.frames.clear();
    thread.irql = PASSIVE_LEVEL;
    thread.currentDriver = nullptr;
}

std::vector<BugCheckInfo> BugCheckTrap::Recorded() const
{
    std::lock_guard<std::mutex> lock(Traps().mutex);
    return Traps().recorded;
}

size_t BugCheckTrap::Count(ULONG code) const
{
    std::lock_guard<std::mutex> lock(Traps().mutex);
    return size_t(std::count_if(Traps().recorded.begin(), Traps().recorded.end(),
                                [code](const BugCheckInfo& info) { return info.code == code; }));
}

bool BugCheckTrap::Fired() const
{
    std::lock_guard<std::mutex> lock(Traps().mutex);
    return !Traps().recorded.empty();
}

namespace
{
std::atomic<uint64_t> g_generation{1};
}

void ResetKernel()
{
    ++g_generation;
    std::multimap<int, std::function<void()>> hooks;
    {
        std::lock_guard<std::mutex> lock(Hooks().mutex);
        hooks = Hooks().hooks;
    }
    for (auto& hook : hooks)
    {
        hook.second();
    }
    auto& thread = detail::CurrentThreadState();
    thread.heldLocks.clear();
    thread.frames.clear();
    thread.irql = PASSIVE_LEVEL;
    thread.currentDriver = nullptr;
}

namespace detail
{

ThreadState& CurrentThreadState()
{
    static thread_local ThreadState state;
    return state;
}

uint64_t KernelGeneration()
{
    return g_generation;
}

ULONG_PTR CurrentLockToken()
{
    return ULONG_PTR(&CurrentThreadState());
}

void BugCheck(ULONG code, const std::string& description, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
              ULONG_PTR p4)
{
    BugCheckInfo info;
    info.code = code;
    info.parameters[0] = p1;
    info.parameters[1] = p2;
    info.parameters[2] = p3;
    info.parameters[3] = p4;
    info.description = description;
    {
        std::lock_guard<std::mutex> lock(Traps().mutex);
        if (Traps().traps > 0)
        {
            Traps().recorded.push_back(info);
            throw BugCheckError(info);
        }
    }
    std::fprintf(stderr, "%s\n", Describe(info).c_str());
    std::fflush(stderr);
    std::abort();
}

void IoViolationCheck(IoViolation rule, const std::string& description, ULONG_PTR p2, ULONG_PTR p3)
{
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, description, rule, p2, p3);
}

ResetHook::ResetHook(int order, std::function<void()> hook)
{
    std::lock_guard<std::mutex> lock(Hooks().mutex);
    Hooks().hooks.emplace(order, std::move(hook));
}

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(CurrentThreadState().currentDriver)
{
    CurrentThreadState().currentDriver = driver;
}

DriverScope::~DriverScope()
{
    CurrentThreadState().currentDriver = previous_;
}

} // namespace detail
} // namespace winsim

extern "C"
{

    VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                      ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4)
    {
        winsim::detail::BugCheck(BugCheckCode, "KeBugCheckEx called by a driver", BugCheckParameter1,
                                 BugCheckParameter2, BugCheckParameter3, BugCheckParameter4);
    }

    VOID KeBugCheck(ULONG BugCheckCode)
    {
        winsim::detail::BugCheck(BugCheckCode, "KeBugCheck called by a driver");
    }

} // extern "C"
