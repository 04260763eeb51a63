// CKavelorWnd: Kavelor's main window. A small fixed frame (caption and system menu only) that is usually
// hidden: closing or minimising it hides it, and the application keeps running in the tray until the tray
// menu's Exit. It owns the tray icon, receives the enumeration thread's results and the system's device
// broadcasts, and comes to the front when a second start of Kavelor asks for it. The toolbar and the
// device list view fill it in a later step; RefreshList is where they will be refilled.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/TaskTray.h"
#include "trayapp/Window.h"

namespace Kavelor
{
class CUSBEnumerateExThread;

class CKavelorWnd : public CWindow, public CTaskTray
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

    const CUSBEnumerateExList& GetDevices() const { return m_devices; }

protected:
    LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    int OnCreate();
    void OnScanUpdate();
    void OnTrayNotify(LPARAM lParam);
    BOOL OnCommand(UINT nId);
    void HideToTray();
    void AddTrayIcon();
    void RefreshList(int nMode);

    HINSTANCE m_hInstance;
    CUSBEnumerateExThread* m_pScanThread;
    CUSBEnumerateExList m_devices;
    int m_bBusy;

    static UINT s_nTaskBarCreated;
};
} // namespace Kavelor
