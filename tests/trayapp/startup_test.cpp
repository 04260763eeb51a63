// Kavelor's start-up and shutdown: the installation checks in their order with their messages from the
// string table, the switch that starts hidden, a second start that brings the running instance forward
// (only windows of processes running this very program, never its own), start-up failures that end
// silently, and a shutdown that stops the enumeration thread and frees every library and handle.
#include "trayapp/KavelorApp.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/ModulePath.h"
#include "trayapp/USBEnumerateExThread.h"
#include "trayapp/res/resource.h"

#include "tests/trayapp/trayapp_fixture.h"

#include <thread>

namespace
{
using namespace kavtest;
using Kavelor::CKavelorApp;
using Kavelor::StartupResult;

const char16_t kProgram[] = u"C:\\Program Files\\Kavelor\\Kavelor.exe";
const char16_t kKavset[] = u"C:\\Program Files\\Kavelor\\Kavset.exe";

// The window side of start-up as the main window does it: register with the thread, ask for a scan.
class FakeShell : public Kavelor::IKavelorShell
{
public:
    void InitFramework() override { ++inits; }
    BOOL CreateMainWindow(Kavelor::CUSBEnumerateExThread* pScanThread, BOOL bShow) override
    {
        if (failWindow)
        {
            return FALSE;
        }
        window = CreateTestWindow(GetCurrentProcessId());
        shown = bShow != FALSE;
        pScanThread->RegisterNotifyWindow(window);
        pScanThread->RequestScan();
        return TRUE;
    }
    int ExitFramework() override
    {
        ++exits;
        if (window != nullptr)
        {
            DestroyTestWindow(window);
            window = nullptr;
        }
        return 0;
    }

    HWND window = nullptr;
    bool shown = false;
    bool failWindow = false;
    int inits = 0;
    int exits = 0;
};

class StartupTest : public TrayAppTest
{
protected:
    StartupTest()
    {
        desktop_->modulePath = kProgram;
        desktop_->processes.push_back(SimProcess{desktop_->currentProcessId, kProgram, {}, true});
    }

    void InstallKavset() { AddFile(kKavset); }
    void InstallService()
    {
        machine_.AddService({u"Kavfiltr", 1, 3, u"\\SystemRoot\\System32\\drivers\\Kavfiltr.sys"});
    }

    // Start-up, then shutdown as the program always runs it; the result of start-up.
    StartupResult Run(std::vector<Kavelor::WString> arguments = {})
    {
        CKavelorApp app(nullptr, shell_);
        BOOL started = app.InitInstance(arguments);
        EXPECT_EQ(started != FALSE, app.m_startupResult == StartupResult::Running);
        if (started)
        {
            EXPECT_TRUE(WaitForPosted(shell_.window, Kavelor::WM_SCAN_UPDATE, 5000)) << "the first scan";
        }
        EXPECT_EQ(app.ExitInstance(), 0);
        EXPECT_EQ(app.m_pScanThread, nullptr);
        EXPECT_EQ(RunningThreadCount(), 0u);
        EXPECT_EQ(LoadedModuleCount(), 0u);
        return app.m_startupResult;
    }

    // A second start while `first` runs: another process, so another thread, which does not own the
    // mutex. Its start-up result.
    StartupResult StartSecondWhileRunning(CKavelorApp& first)
    {
        EXPECT_TRUE(first.InitInstance({}));
        StartupResult second = StartupResult::NotStarted;
        std::thread([&] {
            CKavelorApp app(nullptr, shell_);
            app.InitInstance({});
            second = app.m_startupResult;
            app.ExitInstance();
        }).join();
        return second;
    }

    void ExpectOneInstallationMessage(UINT nTextId)
    {
        ASSERT_EQ(desktop_->messageBoxes.size(), 1u);
        const MessageBoxCall& box = desktop_->messageBoxes.front();
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_EQ(box.text, desktop_->strings.at(nTextId));
        EXPECT_EQ(box.text, u"Kavelorを再インストールしてください。");
        EXPECT_EQ(box.caption, u"Kavelor");
        EXPECT_EQ(box.type, MB_ICONERROR);
    }

    FakeShell shell_;
};

TEST_F(StartupTest, AnInstalledProductStartsShownScansAndShutsDownCleanly)
{
    InstallKavset();
    InstallService();
    EXPECT_EQ(Run(), StartupResult::Running);
    EXPECT_TRUE(shell_.shown);
    EXPECT_TRUE(desktop_->messageBoxes.empty());
    EXPECT_EQ(shell_.inits, 1);
    EXPECT_EQ(shell_.exits, 1);
}

TEST_F(StartupTest, MissingPiecesAreReportedKavsetFirst)
{
    EXPECT_EQ(Run(), StartupResult::KavsetMissing);
    ExpectOneInstallationMessage(IDS_KAVSET_MISSING);
    EXPECT_EQ(shell_.window, nullptr);

    desktop_->messageBoxes.clear();
    AddFile(kKavset, FILE_ATTRIBUTE_DIRECTORY); // a folder of that name is no program
    InstallService();
    EXPECT_EQ(Run(), StartupResult::KavsetMissing);
    ExpectOneInstallationMessage(IDS_KAVSET_MISSING);
}

TEST_F(StartupTest, AMissingServiceOrServiceManagerIsReported)
{
    InstallKavset();
    EXPECT_EQ(Run(), StartupResult::ServiceMissing);
    ExpectOneInstallationMessage(IDS_SERVICE_MISSING);

    desktop_->messageBoxes.clear();
    InstallService();
    desktop_->scmAvailable = false;
    EXPECT_EQ(Run(), StartupResult::ServiceMissing);
    ExpectOneInstallationMessage(IDS_SERVICE_MISSING);
}

TEST_F(StartupTest, TheHideSwitchIsSOnlyWithASlashOrADash)
{
    struct Case
    {
        const char16_t* argument;
        int hidden;
    } cases[] = {{u"/s", 1},  {u"-s", 1},  {u"/S", 1}, {u"-S", 1}, {u"s", 0},     {u"/x", 0},
                 {u"/sx", 0}, {u"--s", 0}, {u"/", 0},  {u"", 0},   {u"/hide", 0}, {u"C:\\a.txt", 0}};
    for (const Case& c : cases)
    {
        Kavelor::CKavelorCommandLineInfo info;
        info.ParseParam(W(c.argument));
        EXPECT_EQ(info.m_bHideOnStart, c.hidden) << winsim::machine::Narrow(c.argument);
    }

    InstallKavset();
    InstallService();
    std::vector<Kavelor::WString> noise(2000, W(u"/unknown"));
    noise.push_back(W(u"-S"));
    EXPECT_EQ(Run(noise), StartupResult::Running);
    EXPECT_FALSE(shell_.shown);
}

TEST_F(StartupTest, ASecondStartBringsTheRunningInstanceForwardAndEndsSilently)
{
    InstallKavset();
    InstallService();
    const DWORD running = 2000;
    desktop_->processes.push_back(SimProcess{running, u"c:\\program files\\kavelor\\KAVELOR.EXE", {}, true});
    desktop_->processes.push_back(SimProcess{3000, u"C:\\Tools\\Other.exe", {}, true});
    HWND mainWindow = CreateTestWindow(running);
    HWND hiddenTool = CreateTestWindow(running);
    HWND stranger = CreateTestWindow(3000);

    FakeShell firstShell;
    CKavelorApp first(nullptr, firstShell);
    EXPECT_EQ(StartSecondWhileRunning(first), StartupResult::SecondInstance);
    EXPECT_TRUE(desktop_->messageBoxes.empty());
    EXPECT_EQ(shell_.window, nullptr);
    EXPECT_EQ(QueuedFor(mainWindow, Kavelor::WM_SHOW_MAIN_WINDOW), 1u);
    EXPECT_EQ(QueuedFor(hiddenTool, Kavelor::WM_SHOW_MAIN_WINDOW), 1u);
    EXPECT_EQ(QueuedFor(stranger, Kavelor::WM_SHOW_MAIN_WINDOW), 0u);
    EXPECT_EQ(QueuedFor(firstShell.window, Kavelor::WM_SHOW_MAIN_WINDOW), 0u) << "never its own process";

    first.ExitInstance();
    EXPECT_EQ(RunningThreadCount(), 0u);
}

// Started from an administrator's prompt, the running instance grants only the limited query right; the
// image-name routine of Kernel32 still tells its path.
TEST_F(StartupTest, ASecondStartAlsoBringsForwardAnInstanceRunningWithHigherRights)
{
    InstallKavset();
    InstallService();
    const DWORD running = 2000;
    desktop_->processes.push_back(
        SimProcess{running, u"\\??\\C:\\Program Files\\Kavelor\\Kavelor.exe", {}, true, true});
    HWND mainWindow = CreateTestWindow(running);

    FakeShell firstShell;
    CKavelorApp first(nullptr, firstShell);
    EXPECT_EQ(StartSecondWhileRunning(first), StartupResult::SecondInstance);
    EXPECT_EQ(QueuedFor(mainWindow, Kavelor::WM_SHOW_MAIN_WINDOW), 1u);
    first.ExitInstance();
}

TEST_F(StartupTest, AThreadOrWindowThatCannotBeCreatedEndsStartUpWithoutAMessage)
{
    InstallKavset();
    InstallService();
    desktop_->failThreadCreations = 1;
    EXPECT_EQ(Run(), StartupResult::ThreadFailed);

    shell_.failWindow = true;
    EXPECT_EQ(Run(), StartupResult::WindowFailed);
    EXPECT_TRUE(desktop_->messageBoxes.empty());
}

TEST_F(StartupTest, AProgramPathLongerThanTheFirstBufferIsReadWhole)
{
    std::u16string folder = u"C:\\" + std::u16string(600, u'k');
    desktop_->modulePath = folder + u"\\Kavelor.exe";
    EXPECT_EQ(Kavelor::GetModulePath(), desktop_->modulePath);
    AddFile(folder + u"\\Kavset.exe");
    InstallService();
    EXPECT_EQ(Run(), StartupResult::Running);

    EXPECT_EQ(Kavelor::PathInDirectoryOf(W(u"C:\\Kavelor.exe"), TEXT("Kavset.exe")), W(u"C:\\Kavset.exe"));
    EXPECT_EQ(Kavelor::PathInDirectoryOf(W(u"Kavelor.exe"), TEXT("Kavset.exe")),
              W(u"Kavelor.exe\\Kavset.exe"));
    EXPECT_TRUE(Kavelor::PathInDirectoryOf(Kavelor::WString(), TEXT("Kavset.exe")).empty());
}
} // namespace
