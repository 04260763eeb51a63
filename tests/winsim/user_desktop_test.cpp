// The user-mode desktop of the simulated PC: the rules it enforces fail loudly (a semaphore released past
// its maximum, a timer killed by a thread that does not own it, tray data of no known layout, a service
// handle closed as a file, a Tool Help entry of the wrong size, resources left behind), and the calls
// answer as Windows does where the product depends on it (no queue before the first message call, named
// mutexes owned per thread, EnumProcesses and GetModuleFileNameW within the caller's buffer).
#include "winsim/user/desktop.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <thread>

namespace
{
using namespace winsim::machine;
using namespace winsim::user;

void CALLBACK NoTimer(HWND, UINT, UINT_PTR, DWORD) {}

TEST(UserDesktopDeathTest, MisuseFailsLoudly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            HANDLE semaphore = CreateSemaphoreW(nullptr, 1, 1, nullptr);
            ReleaseSemaphore(semaphore, 1, nullptr);
        },
        "past the maximum");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            UINT_PTR timer = SetTimer(nullptr, 0, 1000, NoTimer);
            std::thread([timer] { KillTimer(nullptr, timer); }).join();
        },
        "belongs to thread");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            NOTIFYICONDATAW data = {};
            data.cbSize = 500;
            Shell_NotifyIconW(NIM_ADD, &data);
        },
        "none of the shell's layouts");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            desktop->shellMajor = 4;
            NOTIFYICONDATAW data = {};
            data.cbSize = NOTIFYICONDATAW_V1_SIZE;
            Shell_NotifyIconW(NIM_SETVERSION, &data);
        },
        "older than 5.0");
    EXPECT_DEATH(
        {
            Machine machine;
            machine.AddService({u"Kavfiltr", 1, 3, u""});
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, GENERIC_READ);
            CloseHandle(reinterpret_cast<HANDLE>(manager));
        },
        "use CloseServiceHandle");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            desktop->processes.push_back(SimProcess{8, u"C:\\a.exe", {}, true});
            HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
            PROCESSENTRY32W entry = {};
            entry.dwSize = 296; // the ANSI entry
            Process32FirstW(snapshot, &entry);
        },
        "dwSize 296");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            desktop->iconResources = {1};
            LoadImageW(nullptr, MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0);
        },
        "icons not destroyed");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ScopedDesktop desktop;
            LoadLibraryW(u"psapi.dll");
        },
        "never freed");
}

class UserDesktopTest : public ::testing::Test
{
protected:
    UserDesktopTest() : scope_(machine_) {}

    Machine machine_;
    ScopedMachine scope_;
    ScopedDesktop desktop_;
};

TEST_F(UserDesktopTest, AThreadHasAQueueOnlyFromItsFirstMessageCall)
{
    DWORD id = 0;
    bool posted = true;
    std::thread([&] {
        id = GetCurrentThreadId();
        posted = PostThreadMessageW(id, WM_USER, 0, 0) != FALSE;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        EXPECT_TRUE(PostThreadMessageW(id, WM_USER, 0, 0));
    }).join();
    EXPECT_FALSE(posted);
}

TEST_F(UserDesktopTest, ANamedMutexIsSharedByNameAndOwnedByOneThread)
{
    HANDLE first = CreateMutexW(nullptr, TRUE, u"{mutex}");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    std::thread([] {
        HANDLE second = CreateMutexW(nullptr, TRUE, u"{mutex}");
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(WaitForSingleObject(second, 10), WAIT_TIMEOUT);
        CloseHandle(second);
    }).join();
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0); // recursive for its owner
    ReleaseMutex(first);
    ReleaseMutex(first);
    CloseHandle(first);
}

TEST_F(UserDesktopTest, CallsStayWithinTheCallersBuffer)
{
    for (DWORD id = 4; id <= 12; id += 4)
    {
        desktop_->processes.push_back(SimProcess{id, u"C:\\a.exe", {}, true});
    }
    DWORD ids[2] = {};
    DWORD needed = 0;
    ASSERT_TRUE(EnumProcesses(ids, sizeof(ids), &needed));
    EXPECT_EQ(needed, sizeof(ids));

    desktop_->modulePath = u"C:\\Program Files\\Kavelor\\Kavelor.exe";
    WCHAR path[8] = {};
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 8), 8u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::u16string(path), u"C:\\Prog");
}
} // namespace
