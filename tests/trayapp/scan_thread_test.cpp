// The enumeration thread: a request while idle runs one scan, any number of requests during a scan cost
// exactly one more, a request that falls between the notification and the count check is not lost, and
// a request that could not be queued does not block the later ones. Registered windows are notified once
// per scan, destroyed ones are dropped before anything is posted to them, and results arrive by copy.
#include "trayapp/KavelorMessages.h"
#include "trayapp/ResourceException.h"
#include "trayapp/USBEnumerateExThread.h"

#include "tests/trayapp/trayapp_fixture.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace
{
using namespace kavtest;
using Kavelor::CUSBEnumerateExList;
using Kavelor::CUSBEnumerateExThread;
using Kavelor::WM_SCAN_UPDATE;

class ScanThreadTest : public TrayAppTest
{
protected:
    ScanThreadTest()
    {
        HostController& controller =
            AddController(machine_, u"PCI\\VEN_8086&DEV_293A\\3&21436425&0&EF", 0, true);
        AddStick(machine_, *controller.rootHub, 1, kVid, kPid, u"A1B2C3", {u'E'});
        window_ = CreateTestWindow(desktop_->currentProcessId);
    }

    ~ScanThreadTest() override
    {
        if (thread_ != nullptr)
        {
            PostThreadMessageW(thread_->m_nThreadID, WM_QUIT, 0, 0);
            EXPECT_EQ(WaitForSingleObject(thread_->m_hThread, 5000), WAIT_OBJECT_0);
            delete thread_;
        }
    }

    CUSBEnumerateExThread* Start()
    {
        thread_ = Kavelor::StartEnumerationThread(TRUE);
        return thread_;
    }

    // Waits until the thread has served every request.
    bool WaitIdle()
    {
        for (int tries = 0; tries < 500; ++tries)
        {
            if (thread_->GetPendingScans() == 0)
            {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Notifications (one per scan) that arrive within the time, until one does not.
    int CountNotifications(DWORD quietMs = 300)
    {
        int count = 0;
        while (WaitForPosted(window_, WM_SCAN_UPDATE, quietMs))
        {
            ++count;
        }
        return count;
    }

    HWND window_ = nullptr;
    CUSBEnumerateExThread* thread_ = nullptr;
};

TEST_F(ScanThreadTest, OneRequestWhileIdleRunsOneScanAndTheThreadIsIdleAfterwards)
{
    Start()->RegisterNotifyWindow(window_);
    EXPECT_TRUE(thread_->RequestScan());
    EXPECT_EQ(CountNotifications(), 1);
    EXPECT_TRUE(WaitIdle());

    CUSBEnumerateExList results;
    thread_->CopyResults(results);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results.front().wVendorId, kVid);
}

TEST_F(ScanThreadTest, FiveRequestsDuringAScanLeadToExactlyOneMoreScan)
{
    Start()->RegisterNotifyWindow(window_);
    {
        // The scan cannot get past its first look at the machine while the test holds it.
        std::lock_guard<std::recursive_mutex> hold(machine_.Lock());
        EXPECT_TRUE(thread_->RequestScan());
        for (int request = 0; request < 5; ++request)
        {
            EXPECT_EQ(thread_->RequestScan(), TRUE);
        }
        EXPECT_EQ(thread_->GetPendingScans(), 6);
    }
    EXPECT_EQ(CountNotifications(), 2);
    EXPECT_TRUE(WaitIdle());
}

TEST_F(ScanThreadTest, ARequestBetweenTheNotificationAndTheCountCheckIsNotLost)
{
    std::mutex lock;
    std::condition_variable changed;
    bool notified = false;
    bool requested = false;
    desktop_->onPostToWindow = [&](HWND, UINT) {
        std::unique_lock<std::mutex> held(lock);
        if (notified)
        {
            return; // only the first scan waits
        }
        notified = true;
        changed.notify_all();
        changed.wait(held, [&] { return requested; });
    };
    Start()->RegisterNotifyWindow(window_);
    thread_->RequestScan();
    {
        std::unique_lock<std::mutex> held(lock);
        ASSERT_TRUE(changed.wait_for(held, std::chrono::seconds(5), [&] { return notified; }));
    }
    thread_->RequestScan(); // the scan has posted its result and not yet looked at the count
    {
        std::lock_guard<std::mutex> held(lock);
        requested = true;
    }
    changed.notify_all();
    EXPECT_EQ(CountNotifications(), 2);
    EXPECT_TRUE(WaitIdle());
}

TEST_F(ScanThreadTest, ARequestThatCouldNotBeQueuedDoesNotBlockTheNextOne)
{
    Start()->RegisterNotifyWindow(window_);
    desktop_->failThreadPosts = 1;
    EXPECT_FALSE(thread_->RequestScan());
    EXPECT_EQ(thread_->GetPendingScans(), 0);
    EXPECT_TRUE(thread_->RequestScan());
    EXPECT_EQ(CountNotifications(), 1);
}

TEST_F(ScanThreadTest, AWindowRegisteredTwiceIsNotifiedOnceAndADestroyedOneIsDropped)
{
    HWND gone = CreateTestWindow(desktop_->currentProcessId);
    Start()->RegisterNotifyWindow(window_);
    thread_->RegisterNotifyWindow(window_);
    thread_->RegisterNotifyWindow(gone);
    DestroyTestWindow(gone);

    thread_->RequestScan();
    EXPECT_EQ(CountNotifications(), 1);
    EXPECT_EQ(desktop_->failedWindowPosts, 0u);
}

TEST_F(ScanThreadTest, ResultsArriveByCopyAndAreEmptyBeforeTheFirstScan)
{
    Start();
    CUSBEnumerateExList results(2);
    thread_->CopyResults(results);
    EXPECT_TRUE(results.empty());

    thread_->RegisterNotifyWindow(window_);
    thread_->RequestScan();
    ASSERT_EQ(CountNotifications(), 1);
    thread_->CopyResults(results);
    ASSERT_EQ(results.size(), 1u);
    results.front().wVendorId = 0; // the copy is the caller's own

    CUSBEnumerateExList again;
    thread_->CopyResults(again);
    EXPECT_EQ(again.front().wVendorId, kVid);
}

TEST_F(ScanThreadTest, AThreadThatCannotBeCreatedIsReportedAndLeavesNothingOpen)
{
    desktop_->failThreadCreations = 1;
    EXPECT_EQ(Start(), nullptr);

    desktop_->failSemaphoreCreations = 1;
    EXPECT_THROW(Kavelor::StartEnumerationThread(TRUE), Kavelor::CResourceException);
}
} // namespace
