// CTaskTray: one icon in the notification area. It adds the icon with its tip and callback message,
// retries the addition every second while the shell times out (busy, or not running yet), shows a popup
// menu at the cursor and removes the icon when destroyed. The notification data is sized for the shell
// it runs on. The main window inherits it.
#pragma once

#include <windows.h>

#include <map>

namespace Kavelor
{
class CTaskTray
{
public:
    explicit CTaskTray(HINSTANCE hInstance);
    virtual ~CTaskTray();
    CTaskTray(const CTaskTray&) = delete;
    CTaskTray& operator=(const CTaskTray&) = delete;

    BOOL AddIcon(HWND hWnd, UINT nIconId, LPCWSTR pszTip);
    // The command chosen, or 0 (also when the menu or its popup is missing).
    virtual UINT ShowPopupMenu(UINT nMenuId, int nPopupIndex, UINT nDefaultItem, BOOL bDefaultByPosition,
                               HWND hOwner);
    void DismissBalloon();
    // NIM_SETVERSION with version 0, on shells 5.0 and later, so that events keep the classic form.
    BOOL SetNotifyVersion();

    // Major * 65536 + minor; 0 when unknown.
    DWORD GetShellVersion() const { return m_dwShellVersion; }
    DWORD GetDataSize() const { return m_nid.cbSize; }
    UINT_PTR GetRetryTimer() const { return m_nRetryTimer; }
    // The size of the notification data a shell of this version accepts.
    static DWORD TrayDataSize(DWORD dwShellVersion, BOOL bNewerSystem);

protected:
    // Receives the popup before it is tracked.
    virtual void PreparePopupMenu(HMENU hPopup);

private:
    static VOID CALLBACK RetryTimerProc(HWND hWnd, UINT nMsg, UINT_PTR nIdEvent, DWORD dwTime);
    void StartRetry();
    void StopRetry();

    HINSTANCE m_hInstance;
    NOTIFYICONDATAW m_nid;
    HICON m_hIcon;
    UINT_PTR m_nRetryTimer;
    DWORD m_dwShellVersion;
    BOOL m_bNewerSystem;

    // Timer identifier -> tray object: the timer procedure's way back to its object.
    static std::map<UINT_PTR, CTaskTray*> s_retryTimers;
};
} // namespace Kavelor
