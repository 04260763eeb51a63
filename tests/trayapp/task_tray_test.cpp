// The tray icon: the notification data has the size the shell's version accepts and the tip is cut to
// the field of that layout; a shell that times out is retried once a second until it accepts or fails
// otherwise, never faster and never after the object is gone; a missing icon or menu degrades instead of
// failing; everything the icon loaded is released.
#include "trayapp/KavelorMessages.h"
#include "trayapp/TaskTray.h"
#include "trayapp/res/resource.h"

#include "tests/trayapp/trayapp_fixture.h"

#include <memory>

namespace
{
using namespace kavtest;
using Kavelor::CTaskTray;

class TaskTrayTest : public TrayAppTest
{
protected:
    TaskTrayTest()
    {
        desktop_->iconResources = {IDR_MAINFRAME};
        desktop_->menuResources = {{IDR_TASKTRAY, 1}};
        window_ = CreateTestWindow(desktop_->currentProcessId);
    }

    size_t AddAttempts()
    {
        size_t attempts = 0;
        for (const TrayCall& call : desktop_->trayCalls)
        {
            attempts += call.message == NIM_ADD ? 1 : 0;
        }
        return attempts;
    }

    HWND window_ = nullptr;
};

TEST_F(TaskTrayTest, TheDataSizeFollowsTheShellAndTheSystem)
{
    struct Case
    {
        DWORD shellMajor, osMajor, size;
    } cases[] = {
        {6, 6, sizeof(NOTIFYICONDATAW)},
        {6, 5, NOTIFYICONDATAW_V3_SIZE},
        {5, 6, NOTIFYICONDATAW_V2_SIZE},
        {4, 6, NOTIFYICONDATAW_V1_SIZE},
    };
    for (const Case& c : cases)
    {
        desktop_->shellMajor = c.shellMajor;
        desktop_->shellMinor = 0;
        desktop_->osMajor = c.osMajor;
        CTaskTray tray(nullptr);
        EXPECT_EQ(tray.GetDataSize(), c.size) << "shell " << c.shellMajor << ", system " << c.osMajor;
        EXPECT_EQ(tray.GetShellVersion(), c.shellMajor * 65536);
    }
    desktop_->absentRoutines = {"DllGetVersion"};
    CTaskTray unknown(nullptr);
    EXPECT_EQ(unknown.GetShellVersion(), 0u);
    EXPECT_EQ(unknown.GetDataSize(), static_cast<DWORD>(NOTIFYICONDATAW_V1_SIZE));
    EXPECT_EQ(LoadedModuleCount(), 0u);
}

TEST_F(TaskTrayTest, TheIconIsAddedWithItsMessageAndTheTipCutToTheLayout)
{
    std::u16string longTip(200, u'K');
    {
        CTaskTray tray(nullptr);
        ASSERT_TRUE(tray.AddIcon(window_, IDR_MAINFRAME, reinterpret_cast<LPCWSTR>(longTip.c_str())));
        EXPECT_TRUE(tray.SetNotifyVersion());
        EXPECT_EQ(TrayIconCount(), 1u);
        const TrayCall& add = desktop_->trayCalls.front();
        EXPECT_EQ(add.flags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
        EXPECT_EQ(add.tip, longTip.substr(0, 127));
        EXPECT_EQ(desktop_->trayCalls.back().message, NIM_SETVERSION);
        EXPECT_EQ(desktop_->trayCalls.back().version, 0u);
    }
    EXPECT_EQ(TrayIconCount(), 0u);
    EXPECT_EQ(LiveIconCount(), 0u);

    // A shell older than 5.0: the short layout, a 64-character tip field, no version and no balloon.
    desktop_->shellMajor = 4;
    desktop_->trayCalls.clear();
    {
        CTaskTray tray(nullptr);
        ASSERT_TRUE(tray.AddIcon(window_, IDR_MAINFRAME, reinterpret_cast<LPCWSTR>(longTip.c_str())));
        EXPECT_FALSE(tray.SetNotifyVersion());
        EXPECT_EQ(desktop_->trayCalls.front().cbSize, static_cast<DWORD>(NOTIFYICONDATAW_V1_SIZE));
        EXPECT_EQ(desktop_->trayCalls.front().tip, longTip.substr(0, 63));
    }
    ASSERT_EQ(desktop_->trayCalls.size(), 2u);
    EXPECT_EQ(desktop_->trayCalls.back().message, NIM_DELETE);
}

TEST_F(TaskTrayTest, AMissingIconResourceAddsTheIconWithoutAnImage)
{
    CTaskTray tray(nullptr);
    ASSERT_TRUE(tray.AddIcon(window_, 4242, nullptr));
    EXPECT_EQ(desktop_->trayCalls.front().flags, NIF_MESSAGE | NIF_TIP);
    EXPECT_TRUE(desktop_->trayCalls.front().tip.empty());
}

TEST_F(TaskTrayTest, AShellThatTimesOutTwiceIsAskedThreeTimesAndNoTimerRemains)
{
    desktop_->shellTimeouts = 2;
    CTaskTray tray(nullptr);
    EXPECT_FALSE(tray.AddIcon(window_, IDR_MAINFRAME, u"Kavelor"));
    EXPECT_NE(tray.GetRetryTimer(), 0u);
    ElapseTimers(999);
    EXPECT_EQ(AddAttempts(), 1u); // not before a second has passed
    ElapseTimers(1);
    EXPECT_EQ(AddAttempts(), 2u);
    ElapseTimers(1000);
    EXPECT_EQ(AddAttempts(), 3u);
    EXPECT_EQ(TrayIconCount(), 1u);
    EXPECT_EQ(tray.GetRetryTimer(), 0u);
    EXPECT_EQ(TimerCount(), 0u);
}

TEST_F(TaskTrayTest, AShellThatNeverAnswersIsAskedOnceASecondUntilTheIconGoes)
{
    desktop_->shellAlwaysTimesOut = true;
    {
        CTaskTray tray(nullptr);
        tray.AddIcon(window_, IDR_MAINFRAME, u"Kavelor");
        for (int second = 0; second < 60; ++second)
        {
            ElapseTimers(1000);
        }
        EXPECT_EQ(AddAttempts(), 61u);
        // The shell announces a new taskbar: the owner adds again, and there is still one timer.
        tray.AddIcon(window_, IDR_MAINFRAME, u"Kavelor");
        EXPECT_EQ(TimerCount(), 1u);
    }
    EXPECT_EQ(TimerCount(), 0u);
    ElapseTimers(5000);
    EXPECT_EQ(AddAttempts(), 62u);
    EXPECT_EQ(LiveIconCount(), 0u);
}

TEST_F(TaskTrayTest, AnErrorOtherThanTimeOutIsNotRetried)
{
    desktop_->shellTimeouts = 1;
    CTaskTray tray(nullptr);
    HWND gone = CreateTestWindow(desktop_->currentProcessId);
    tray.AddIcon(gone, IDR_MAINFRAME, u"Kavelor");
    DestroyTestWindow(gone);
    ElapseTimers(1000);
    EXPECT_EQ(AddAttempts(), 2u);
    EXPECT_EQ(tray.GetRetryTimer(), 0u);
    EXPECT_EQ(TimerCount(), 0u);
}

TEST_F(TaskTrayTest, ThePopupMenuReturnsTheChoiceAndIsDestroyedAfterwards)
{
    CTaskTray tray(nullptr);
    tray.AddIcon(window_, IDR_MAINFRAME, u"Kavelor");
    desktop_->trackPopupCommand = ID_TASKTRAY_EXIT;
    EXPECT_NE(tray.ShowPopupMenu(IDR_TASKTRAY, 0, ID_TASKTRAY_OPEN, FALSE, window_), 0u);
    EXPECT_EQ(QueuedFor(window_, WM_NULL), 1u);
    EXPECT_EQ(tray.ShowPopupMenu(IDR_TASKTRAY, 1, ID_TASKTRAY_OPEN, FALSE, window_), 0u);
    EXPECT_EQ(tray.ShowPopupMenu(4242, 0, ID_TASKTRAY_OPEN, FALSE, nullptr), 0u);
    EXPECT_EQ(LiveMenuCount(), 0u);
}
} // namespace
