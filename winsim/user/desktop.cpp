// winsim/user: the installed desktop, its lock, handle values and the checks made when it is taken down
// (resources, timers, tray icons and modules left behind, threads still running).
#include "winsim/user/user_internal.h"

#include <atomic>

namespace winsim::user
{
namespace
{
std::mutex g_lock;
std::condition_variable g_changed;
Desktop* g_desktop = nullptr;
Internal* g_internal = nullptr;
} // namespace

ScopedDesktop::ScopedDesktop()
{
    winsim::machine::Current(); // the kernel objects are the machine's handles
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_desktop != nullptr)
    {
        Violation("a second desktop was installed over the first");
    }
    g_desktop = &desktop_;
    g_internal = new Internal();
}

ScopedDesktop::~ScopedDesktop()
{
    std::unique_lock<std::mutex> lock(g_lock);
    // A thread that was told to end may still be on its way out: give it a moment before calling it a
    // thread left running.
    g_changed.wait_for(lock, std::chrono::seconds(5), [] { return g_internal->runningThreads == 0; });
    Internal& state = *g_internal;
    const char* left = nullptr;
    if (state.runningThreads != 0)
    {
        left = "a thread still running";
    }
    else if (!state.icons.empty())
    {
        left = "icons not destroyed";
    }
    else if (!state.imageLists.empty())
    {
        left = "image lists not destroyed";
    }
    else if (!state.menus.empty())
    {
        left = "menus not destroyed";
    }
    else if (!state.timers.empty())
    {
        left = "thread timers not killed";
    }
    else if (!state.trayIcons.empty())
    {
        left = "tray icons not deleted";
    }
    else if (!state.fonts.empty())
    {
        left = "fonts not deleted";
    }
    else if (!state.deviceContexts.empty())
    {
        left = "device contexts not released";
    }
    for (const auto& [name, refs] : state.moduleRefs)
    {
        if (refs != 0 && left == nullptr)
        {
            left = "a module loaded and never freed";
        }
    }
    if (left != nullptr)
    {
        Violation("desktop taken down with %s", left);
    }
    delete g_internal;
    g_internal = nullptr;
    g_desktop = nullptr;
}

Desktop& D()
{
    if (g_desktop == nullptr)
    {
        Violation("a user-mode call was made with no simulated desktop installed");
    }
    return *g_desktop;
}

Internal& I()
{
    D();
    return *g_internal;
}

Desktop& CurrentDesktop()
{
    return D();
}

std::unique_lock<std::mutex> Lock()
{
    return std::unique_lock<std::mutex>(g_lock);
}

void LockDesktop()
{
    g_lock.lock();
}

void UnlockDesktop()
{
    g_lock.unlock();
}

std::condition_variable& Changed()
{
    return g_changed;
}

uintptr_t NewHandleValue()
{
    uintptr_t value = I().nextHandle;
    I().nextHandle += 4;
    return value;
}

HANDLE OpenObject(std::shared_ptr<KernelObject> object)
{
    winsim::machine::Machine& machine = winsim::machine::Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    winsim::machine::Machine::OpenObject entry;
    entry.kind = winsim::machine::Machine::OpenObject::Kind::KernelObject;
    entry.payload = std::move(object);
    return machine.OpenHandle(std::move(entry));
}

std::shared_ptr<KernelObject> ObjectOf(HANDLE handle)
{
    winsim::machine::Machine& machine = winsim::machine::Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    winsim::machine::Machine::OpenObject* entry = machine.LookupHandle(handle);
    if (entry == nullptr || entry->kind != winsim::machine::Machine::OpenObject::Kind::KernelObject)
    {
        return nullptr;
    }
    return std::shared_ptr<KernelObject>(entry->payload, static_cast<KernelObject*>(entry->payload.get()));
}

WString Upper(const WString& text)
{
    return winsim::machine::Upper(text);
}

std::string NarrowUpper(const WString& text)
{
    return winsim::machine::Narrow(Upper(text));
}

WString FileNameOf(const WString& path)
{
    size_t slash = path.find_last_of(u"\\/");
    return slash == WString::npos ? path : path.substr(slash + 1);
}

SimWindow* FindWindowLocked(HWND hwnd)
{
    for (SimWindow& window : I().windows)
    {
        if (window.hwnd == hwnd)
        {
            return &window;
        }
    }
    return nullptr;
}

size_t TrayIconCount()
{
    auto lock = Lock();
    return I().trayIcons.size();
}

size_t LiveIconCount()
{
    auto lock = Lock();
    return I().icons.size();
}

size_t LiveMenuCount()
{
    auto lock = Lock();
    return I().menus.size();
}

size_t LoadedModuleCount()
{
    auto lock = Lock();
    size_t loaded = 0;
    for (const auto& [name, refs] : I().moduleRefs)
    {
        loaded += refs != 0 ? 1 : 0;
    }
    return loaded;
}

size_t RunningThreadCount()
{
    auto lock = Lock();
    return I().runningThreads;
}

void AddFile(const WString& path, DWORD attributes)
{
    auto lock = Lock();
    D().files[Upper(path)] = attributes;
}
} // namespace winsim::user
