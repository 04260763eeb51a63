// CKavelorWnd: Kavelor's main window. A small fixed frame (caption and system menu only) with the toolbar
// on top and the device list below; usually hidden: closing or minimising it hides it, and the
// application keeps running in the tray until the tray menu's Exit. It owns the tray icon, receives the
// enumeration thread's results, the system's device broadcasts and the shell's drive notifications, and
// routes the commands of the toolbar, the tray menu and the list's context menu (the list first), gives
// the toolbar's tooltips their texts, and follows the DPI of the monitor it is on. What it decides is in
// CKavelorWndCore; this class gives it the real controls and dialogs.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/ColorToolBar.h"
#include "trayapp/KavelorListView.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/KavelorWndUi.h"
#include "trayapp/TaskTray.h"
#include "trayapp/Window.h"

namespace Kavelor
{
class CUSBEnumerateExThread;

class CKavelorWnd : public CWindow, public CTaskTray, public IKavelorWndUi
{
public:
    CKavelorWnd(HINSTANCE hInstance, CUSBEnumerateExThread* pScanThread);
    ~CKavelorWnd() override;

    // The window of resource 1001: its title, its icon, caption and system menu, hidden.
    BOOL Create();
    // The F5 key: a new scan and an immediate refill. False: the message goes on as usual.
    BOOL PreTranslateMessage(MSG* pMsg);
    // Foreground, shown, restored.
    void BringToFront();

    const CUSBEnumerateExList& GetDevices() const { return m_core.m_devices; }

    // IKavelorWndUi
    BOOL HasListView() override;
    void FillList(const CUSBEnumerateExList& devices) override;
    UINT_PTR StartRefreshTimer() override;
    void StopRefreshTimer(UINT_PTR nTimer) override;
    int ShieldMessageBox(HWND hOwner, const WString& strText, const WString& strCaption, UINT nType,
                         int nButtonId) override;
    void RunWorkingDialog(HWND hOwner, CKavsetJob& job) override;
    void RunPropertyDialog(HWND hOwner, const CUSBEnumerateExData& device,
                           const CUSBEnumerateExTree& node) override;
    void RunAboutDialog() override;
    void ShowTrayMenu() override;
    void CloseMainWindow() override;

protected:
    LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    int OnCreate();
    void SizeToContent(BOOL bCentre);
    void OnDpiChanged(UINT nDpi, const RECT* pSuggested);
    void LayoutChildren();
    void RegisterShellNotify();
    void OnTrayNotify(LPARAM lParam);
    BOOL OnCommand(UINT nId);
    LRESULT OnNotify(NMHDR* pHeader);
    void UpdateCommands();
    void HideToTray();
    void AddTrayIcon();
    void OnHelp();

    HINSTANCE m_hInstance;
    CUSBEnumerateExThread* m_pScanThread;
    CKavelorWndCore m_core;
    CColorToolBar m_toolBar;
    CKavelorListView m_listView;
    ULONG m_hNotify;
    UINT m_nDpi;
    // The toolbar's font after a change of DPI; before one, the toolbar's own.
    HFONT m_hToolBarFont;

    static UINT s_nTaskBarCreated;
};

// The help document beside the program, if it is there; empty otherwise.
WString FindHelpDocument();
} // namespace Kavelor
