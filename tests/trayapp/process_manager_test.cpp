// The process manager, through both implementations: every process is listed once however many there
// are, paths in the "\??\" form lose the prefix only when a drive follows, processes are found by path and
// by file name ignoring case, a process that ends or refuses to be opened never matches, windows are
// listed per process, and without PSAPI.DLL the Tool Help implementation serves the whole run. Every
// library loaded is freed when the singletons are released.
#include "trayapp/ProcessMgr.h"
#include "trayapp/ProcessMgrPSAPIImp.h"

#include "tests/trayapp/trayapp_fixture.h"

#include <psapi.h>

namespace
{
using namespace kavtest;
using Kavelor::CProcessIdList;
using Kavelor::CProcessMgr;
using Kavelor::CWindowList;

enum class Implementation
{
    Psapi,
    ToolHelp
};

class ProcessManagerTest : public TrayAppTest, public ::testing::WithParamInterface<Implementation>
{
protected:
    ProcessManagerTest()
    {
        if (GetParam() == Implementation::Psapi)
        {
            Kavelor::UsePSAPIImplementation();
        }
        else
        {
            Kavelor::UseToolHelpImplementation();
        }
    }

    ~ProcessManagerTest() override
    {
        Kavelor::ReleaseProcessManagerSingletons();
        EXPECT_EQ(LoadedModuleCount(), 0u);
    }

    void AddProcess(DWORD id, const char16_t* path, bool openable = true)
    {
        SimProcess process;
        process.id = id;
        process.imagePath = path;
        process.openable = openable;
        if (GetParam() == Implementation::ToolHelp && process.imagePath.rfind(u"\\??\\", 0) == 0)
        {
            // Tool Help reports the path the loader resolved.
            process.modules = {process.imagePath.substr(4)};
        }
        desktop_->processes.push_back(process);
    }
};

TEST_P(ProcessManagerTest, EveryProcessIsListedOnceHoweverManyThereAre)
{
    unsigned calls = 0;
    desktop_->afterProcessList = [&] { ++calls; };
    for (DWORD id = 4; id <= 4 * 37; id += 4)
    {
        AddProcess(id, u"C:\\Windows\\system32\\svchost.exe");
    }
    CProcessMgr processes;
    CProcessIdList ids;
    ASSERT_TRUE(processes.GetProcessIds(ids));
    ASSERT_EQ(ids.size(), 37u);
    DWORD expected = 4;
    for (DWORD id : ids)
    {
        EXPECT_EQ(id, expected);
        expected += 4;
    }
    if (GetParam() == Implementation::Psapi)
    {
        EXPECT_EQ(calls, 7u); // room for 1, 2, 4, 8, 16, 32, then 64 entries
    }
}

TEST_P(ProcessManagerTest, ImagePathsLoseTheDosDevicesPrefixOnlyBeforeADrive)
{
    AddProcess(8, u"\\??\\D:\\a.exe");
    AddProcess(12, u"C:\\Tools\\b.exe");
    CProcessMgr processes;
    EXPECT_EQ(processes.GetProcessImagePath(8), W(u"D:\\a.exe"));
    EXPECT_EQ(processes.GetProcessImagePath(12), W(u"C:\\Tools\\b.exe"));
    EXPECT_TRUE(processes.GetProcessImagePath(0).empty());
    EXPECT_TRUE(processes.GetProcessImagePath(999).empty());

    EXPECT_EQ(Kavelor::StripDosDevicesPrefix(W(u"\\??\\UNC\\srv\\a.exe")), W(u"\\??\\UNC\\srv\\a.exe"));
    EXPECT_EQ(Kavelor::StripDosDevicesPrefix(W(u"\\??\\c:\\a.exe")), W(u"c:\\a.exe"));
    EXPECT_EQ(Kavelor::StripDosDevicesPrefix(W(u"\\??\\C:")), W(u"\\??\\C:"));
}

TEST_P(ProcessManagerTest, ProcessesAreFoundByPathAndByFileNameIgnoringCase)
{
    AddProcess(8, u"C:\\x\\a.exe");
    AddProcess(12, u"C:\\X\\A.EXE");
    AddProcess(16, u"C:\\y\\a.exe");
    AddProcess(20, u"C:\\x\\a.exe", false); // a process this user may not open
    CProcessMgr processes;
    CProcessIdList ids{99};
    ASSERT_TRUE(processes.FindProcessesByPath(W(u"c:\\x\\A.exe"), ids));
    EXPECT_EQ(ids, (CProcessIdList{8, 12}));

    ASSERT_TRUE(processes.FindProcessesByFileName(W(u"A.EXE"), ids));
    EXPECT_EQ(ids, (CProcessIdList{8, 12, 16}));

    EXPECT_FALSE(processes.FindProcessesByPath(W(u"C:\\x\\b.exe"), ids));
    EXPECT_TRUE(ids.empty());
}

TEST_P(ProcessManagerTest, AProcessThatEndsWhileTheListIsWalkedNeverMatches)
{
    AddProcess(8, u"C:\\x\\a.exe");
    AddProcess(12, u"C:\\x\\a.exe");
    // Process 8 ends right after the last read of the list (PSAPI reads it into buffers of 1, 2, 4).
    int reads = 0;
    int lastRead = GetParam() == Implementation::Psapi ? 3 : 1;
    desktop_->afterProcessList = [&] {
        if (++reads == lastRead)
        {
            desktop_->processes.erase(desktop_->processes.begin());
        }
    };
    CProcessMgr processes;
    CProcessIdList ids;
    EXPECT_TRUE(processes.FindProcessesByPath(W(u"C:\\x\\a.exe"), ids));
    EXPECT_EQ(ids, (CProcessIdList{12}));
}

TEST_P(ProcessManagerTest, WindowsAreListedPerProcessInTheDesktopsOrder)
{
    AddProcess(8, u"C:\\x\\a.exe");
    AddProcess(12, u"C:\\x\\b.exe");
    HWND first = CreateTestWindow(8);
    HWND other = CreateTestWindow(12);
    HWND closed = CreateTestWindow(8);
    HWND second = CreateTestWindow(8);
    DestroyTestWindow(closed);

    CProcessMgr processes;
    CWindowList windows;
    ASSERT_TRUE(processes.GetProcessWindows(8, windows));
    EXPECT_EQ(windows, (CWindowList{first, second}));
    ASSERT_TRUE(processes.GetProcessWindows(12, windows));
    EXPECT_EQ(windows, (CWindowList{other}));
    EXPECT_FALSE(processes.GetProcessWindows(16, windows));
    EXPECT_TRUE(windows.empty());
}

INSTANTIATE_TEST_SUITE_P(BothInterfaces, ProcessManagerTest,
                         ::testing::Values(Implementation::Psapi, Implementation::ToolHelp),
                         [](const ::testing::TestParamInfo<Implementation>& info) {
                             return info.param == Implementation::Psapi ? "Psapi" : "ToolHelp";
                         });

class ProcessManagerChoiceTest : public TrayAppTest
{
protected:
    ~ProcessManagerChoiceTest() override
    {
        Kavelor::ReleaseProcessManagerSingletons();
        EXPECT_EQ(LoadedModuleCount(), 0u);
    }
};

TEST_F(ProcessManagerChoiceTest, WithoutPsapiTheToolHelpImplementationServes)
{
    desktop_->absentModules = {"PSAPI.DLL"};
    desktop_->processes.push_back(SimProcess{8, u"C:\\x\\a.exe", {}, true});
    Kavelor::SelectProcessManagerImplementation();
    CProcessMgr processes;
    CProcessIdList ids;
    EXPECT_TRUE(processes.FindProcessesByPath(W(u"C:\\x\\a.exe"), ids));
    EXPECT_EQ(ids, (CProcessIdList{8}));
}

TEST_F(ProcessManagerChoiceTest, APsapiWithoutOneOfItsRoutinesIsNotUsedAndIsFreedAgain)
{
    desktop_->absentRoutines = {"GetModuleFileNameExA"};
    desktop_->processes.push_back(SimProcess{8, u"C:\\x\\a.exe", {}, true});
    Kavelor::SelectProcessManagerImplementation();
    CProcessMgr processes;
    CProcessIdList ids;
    EXPECT_TRUE(processes.FindProcessesByPath(W(u"C:\\x\\a.exe"), ids));
    EXPECT_EQ(ids, (CProcessIdList{8}));
}

TEST_F(ProcessManagerChoiceTest, WithoutEitherInterfaceNothingIsFoundAndNothingBreaks)
{
    desktop_->absentModules = {"PSAPI.DLL"};
    desktop_->absentRoutines = {"CreateToolhelp32Snapshot"};
    desktop_->processes.push_back(SimProcess{8, u"C:\\x\\a.exe", {}, true});
    Kavelor::SelectProcessManagerImplementation();
    CProcessMgr processes;
    CProcessIdList ids;
    EXPECT_FALSE(processes.GetProcessIds(ids));
    EXPECT_TRUE(processes.GetProcessImagePath(8).empty());
}

TEST_F(ProcessManagerChoiceTest, WithoutAChosenImplementationTheFacadeFindsNothing)
{
    CProcessMgr processes;
    CProcessIdList ids;
    EXPECT_FALSE(processes.FindProcessesByFileName(W(u"a.exe"), ids));
}
} // namespace
