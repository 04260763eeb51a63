// ShieldMessageBox: a WH_CALLWNDPROCRET hook on this thread sees the message box's WM_INITDIALOG after the
// box has created its buttons, and marks the chosen ones with BCM_SETSHIELD.
#include "trayapp/ShieldMessageBox.h"

#include <commctrl.h>

#include <vector>

namespace Kavelor
{
namespace
{
// The hook procedure has no parameter of its own: these are the platform-forced globals.
HHOOK g_hShieldHook = nullptr;
std::vector<int>* g_pShieldButtons = nullptr;

LRESULT CALLBACK ShieldHookProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode >= 0 && g_pShieldButtons != nullptr)
    {
        const CWPRETSTRUCT* pMsg = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
        if (pMsg->message == WM_INITDIALOG)
        {
            for (int nId : *g_pShieldButtons)
            {
                HWND hButton = GetDlgItem(pMsg->hwnd, nId);
                if (hButton != nullptr)
                {
                    SendMessageW(hButton, BCM_SETSHIELD, 0, 1);
                }
            }
        }
    }
    return CallNextHookEx(g_hShieldHook, nCode, wParam, lParam);
}
} // namespace

int ShieldMessageBox(HWND hOwner, LPCWSTR pszText, LPCWSTR pszCaption, UINT nType, const int* pButtonIds,
                     int nButtonCount)
{
    std::vector<int> buttons(pButtonIds, pButtonIds + nButtonCount);
    g_pShieldButtons = &buttons;
    g_hShieldHook = SetWindowsHookExW(WH_CALLWNDPROCRET, ShieldHookProc, nullptr, GetCurrentThreadId());
    if (g_hShieldHook == nullptr)
    {
        g_pShieldButtons = nullptr;
        return -1;
    }
    int nResult = MessageBoxW(hOwner, pszText, pszCaption, nType);
    UnhookWindowsHookEx(g_hShieldHook);
    g_hShieldHook = nullptr;
    g_pShieldButtons = nullptr;
    return nResult;
}
} // namespace Kavelor
