// Stand-ins for what Kavelor's main window logic asks of its surroundings, shared by the tray
// application's tests and the end-to-end flows: a scan source whose next result the test sets (or takes
// from the simulated PC), the window's controls and dialogs that record every call and answer as told,
// and a Kavset launcher that answers with a fixed exit code.
#pragma once

#include "enumlib/USBEnumerateEx.h"
#include "trayapp/KavelorWndUi.h"
#include "trayapp/KavsetJob.h"
#include "trayapp/ScanRequests.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kavtest
{
// The result the window copies is `next`; with `live` set it is taken from the simulated PC's
// enumeration at each copy.
class FakeScan : public Kavelor::IScanRequests
{
public:
    BOOL RequestScan() override
    {
        ++requests;
        return TRUE;
    }

    void CopyResults(Kavelor::CUSBEnumerateExList& results) override
    {
        if (live)
        {
            next = Enumerate();
        }
        results = next;
    }

    static Kavelor::CUSBEnumerateExList Enumerate()
    {
        Kavelor::CUSBEnumerateExList devices;
        Kavelor::CUSBEnumerateEx enumerator(&devices);
        enumerator.m_bTargetOnly = TRUE;
        enumerator.Enumerate();
        return devices;
    }

    // The device-node handle of the first node with a drive letter below the USB device node, as the
    // device list's item carries it; 0 (and a test failure) when there is none.
    static DEVINST DriveNodeOf(DEVINST usbNode)
    {
        for (const Kavelor::CUSBEnumerateExData& record : Enumerate())
        {
            if (record.treeDevice.data.dnDevInst != usbNode)
            {
                continue;
            }
            for (const auto* node = &record.treeDevice; node != nullptr; node = node->NextPreOrder())
            {
                if (node->data.chDriveLetter != 0)
                {
                    return node->data.dnDevInst;
                }
            }
        }
        ADD_FAILURE() << "no drive letter on the device";
        return 0;
    }

    int requests = 0;
    bool live = false;
    Kavelor::CUSBEnumerateExList next;
};

struct ShieldCall
{
    HWND owner = nullptr;
    Kavelor::WString text;
    Kavelor::WString caption;
    UINT type = 0;
    int buttonId = 0;
};

struct WorkingCall
{
    HWND owner = nullptr;
    int mode = 0;
    Kavelor::WString parameters;
    int busy = 0;
};

// Every modal step runs `duringModal` (if set) while it is "open", as a message arriving in its modal loop
// would.
class FakeWindowUi : public Kavelor::IKavelorWndUi
{
public:
    explicit FakeWindowUi(int* pBusy = nullptr) : pBusy_(pBusy) {}

    BOOL HasListView() override { return listView; }
    void FillList(const Kavelor::CUSBEnumerateExList& devices) override { fills.push_back(devices); }
    UINT_PTR StartRefreshTimer() override
    {
        ++timersStarted;
        return 16;
    }
    void StopRefreshTimer(UINT_PTR) override { ++timersStopped; }

    int ShieldMessageBox(HWND owner, const Kavelor::WString& text, const Kavelor::WString& caption, UINT type,
                         int buttonId) override
    {
        shields.push_back({owner, text, caption, type, buttonId});
        Modal();
        return shieldAnswer;
    }

    void RunWorkingDialog(HWND owner, Kavelor::CKavsetJob& job) override
    {
        working.push_back({owner, job.m_nMode, job.GetParameters(), pBusy_ != nullptr ? *pBusy_ : -1});
        Modal();
        if (runJob)
        {
            runJob(job);
        }
    }

    void RunPropertyDialog(HWND owner, const Kavelor::CUSBEnumerateExData& device,
                           const Kavelor::CUSBEnumerateExTree& node) override
    {
        propertyOwners.push_back(owner);
        propertyDevices.push_back(device);
        propertyNodes.push_back(node);
        Modal();
    }

    void RunAboutDialog() override
    {
        ++aboutDialogs;
        Modal();
    }

    void ShowTrayMenu() override { ++trayMenus; }
    void CloseMainWindow() override { ++closes; }

    bool listView = true;
    int shieldAnswer = IDYES;
    std::function<void()> duringModal;
    std::function<void(Kavelor::CKavsetJob&)> runJob;

    std::vector<Kavelor::CUSBEnumerateExList> fills;
    int timersStarted = 0;
    int timersStopped = 0;
    std::vector<ShieldCall> shields;
    std::vector<WorkingCall> working;
    std::vector<HWND> propertyOwners;
    std::vector<Kavelor::CUSBEnumerateExData> propertyDevices;
    std::vector<Kavelor::CUSBEnumerateExTree> propertyNodes;
    int aboutDialogs = 0;
    int trayMenus = 0;
    int closes = 0;

private:
    void Modal()
    {
        if (duringModal)
        {
            std::function<void()> step = duringModal;
            step();
        }
    }

    int* pBusy_;
};

// Kavset as a process: started or not, and the exit code it ends with (or one that cannot be read); or, with
// `run`, whatever the test makes of the command line.
class FakeLauncher : public Kavelor::IKavsetLauncher
{
public:
    BOOL Start(const Kavelor::WString& file, const Kavelor::WString& parameters) override
    {
        this->file = file;
        this->parameters = parameters;
        if (startable && run)
        {
            exitCode = run(parameters);
        }
        return startable;
    }
    void OnStarted() override { ++shown; }
    BOOL WaitForExit(DWORD& code) override
    {
        code = exitCode;
        return readable;
    }

    bool startable = true;
    bool readable = true; // false: the exit code cannot be read
    DWORD exitCode = 0;
    std::function<DWORD(const Kavelor::WString&)> run;
    Kavelor::WString file;
    Kavelor::WString parameters;
    int shown = 0;
};
} // namespace kavtest
