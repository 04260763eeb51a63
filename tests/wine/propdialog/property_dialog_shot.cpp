// kavelor_property_dialog: Kavelor's property dialog (CPropatyDlg with Kavelor's own resources) for one
// made-up USB stick whose device nodes the Wine test wrote into the prefix's Enum key, since Wine has no USB
// host controller through which Kavelor's main window would list a stick. The dialog reads everything
// itself, as in Kavelor: the filter lists and the node's status, the Kavfiltr service, the counters under
// the hardware key. Once its speed-up group has been refreshed by its own timer, the program prints what
// the dialog shows, one "name<TAB>text" line each in UTF-8 and then "shown", keeps the dialog open for the
// screenshot and closes it.
//   kavelor_property_dialog USB_INSTANCE_ID USBSTOR_INSTANCE_ID DRIVE_LETTER SECONDS_OPEN
// Exit code 0 when the dialog ran, 2 on wrong arguments, 3 when the dialog could not be created.
#include "enumlib/EnumerateData.h"
#include "tests/wine/propdialog/config_manager_stand_in.h"
#include "trayapp/PropatyDlg.h"
#include "trayapp/res/resource.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>

namespace
{
// After the dialog's first refresh (one second): the texts printed are what the timer, not only
// WM_INITDIALOG, put there.
const UINT_PTR kReportTimerId = 100;
const UINT kReportAfterMs = 1500;
const UINT_PTR kCloseTimerId = 101;

class ShownPropertyDialog : public Kavelor::CPropatyDlg
{
public:
    ShownPropertyDialog(HINSTANCE hInstance, const Kavelor::CUSBEnumerateExData& device,
                        const Kavelor::CUSBEnumerateExTree& node, UINT seconds_open)
        : CPropatyDlg(hInstance, device, node), seconds_open_(seconds_open)
    {
    }

protected:
    BOOL OnInitDialog() override
    {
        BOOL bResult = CPropatyDlg::OnInitDialog();
        SetTimer(m_hWnd, kReportTimerId, kReportAfterMs, nullptr);
        return bResult;
    }

    INT_PTR DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override
    {
        if (nMsg == WM_TIMER && wParam == kReportTimerId)
        {
            KillTimer(m_hWnd, kReportTimerId);
            Report();
            SetTimer(m_hWnd, kCloseTimerId, seconds_open_ * 1000, nullptr);
            return TRUE;
        }
        if (nMsg == WM_TIMER && wParam == kCloseTimerId)
        {
            KillTimer(m_hWnd, kCloseTimerId);
            EndDialog(IDCANCEL);
            return TRUE;
        }
        return CPropatyDlg::DialogProc(nMsg, wParam, lParam);
    }

private:
    void Report()
    {
        const struct
        {
            const char* pszName;
            int nId;
        } items[] = {{"state", IDC_KAVELOR_STATE},
                     {"vendor", IDC_VENDOR_ID},
                     {"product", IDC_PRODUCT_ID},
                     {"group", IDC_SPEEDUP_GROUP},
                     {"saved-label", IDC_SPEEDUP_SAVED_LABEL},
                     {"saved", IDC_COMMANDS_SAVED},
                     {"cached-label", IDC_SPEEDUP_CACHED_LABEL},
                     {"cached", IDC_CACHED_DATA},
                     {"note", IDC_SPEEDUP_NOTE}};
        wchar_t szText[512] = {};
        GetWindowTextW(m_hWnd, szText, 512);
        propdialog::PrintUtf8("caption", szText);
        for (const auto& item : items)
        {
            szText[0] = 0;
            GetDlgItemTextW(m_hWnd, item.nId, szText, 512);
            propdialog::PrintUtf8(item.pszName, szText);
        }
        std::printf("shown\n");
        std::fflush(stdout);
    }

    UINT seconds_open_;
};
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5 || std::wcslen(argv[3]) != 1 || std::wcstoul(argv[4], nullptr, 10) == 0)
    {
        std::fprintf(stderr, "usage: kavelor_property_dialog USB_ID USBSTOR_ID DRIVE_LETTER SECONDS_OPEN\n");
        return 2;
    }
    bool bStandIn = propdialog::UseConfigManagerStandInUnlessWineLocates(argv[1]);
    std::printf("config-manager\t%s\n", bStandIn ? "stand-in over the setup API" : "Wine's own");

    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    Kavelor::CUSBEnumerateExData device = propdialog::StandInStick(argv[1], argv[2], argv[3][0]);
    ShownPropertyDialog dialog(GetModuleHandleW(nullptr), device, *device.treeDevice.NextPreOrder(),
                               static_cast<UINT>(std::wcstoul(argv[4], nullptr, 10)));
    INT_PTR nResult = dialog.DoModal(nullptr);
    std::printf("closed\t%d\n", static_cast<int>(nResult));
    return nResult == -1 ? 3 : 0;
}
