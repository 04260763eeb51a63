// IKavelorWndUi: the controls and dialogs of Kavelor's main window as its logic (CKavelorWndCore) uses
// them — the list view's refill, the window's refresh timer, the confirmation with the elevation shield,
// the working, property and version dialogs, the tray menu and closing the window. The main window
// implements it with the real controls; tests implement it to watch and answer.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

namespace Kavelor
{
class CKavsetJob;

class IKavelorWndUi
{
public:
    virtual ~IKavelorWndUi() = default;

    virtual BOOL HasListView() = 0;
    virtual void FillList(const CUSBEnumerateExList& devices) = 0;
    // SetTimer on the main window, identifier 16, every 1000 ms; the timer's identifier, 0 on failure.
    virtual UINT_PTR StartRefreshTimer() = 0;
    virtual void StopRefreshTimer(UINT_PTR nTimer) = 0;
    // A message box with the elevation shield on button nButtonId; its result, -1 when it could not be
    // shown.
    virtual int ShieldMessageBox(HWND hOwner, const WString& strText, const WString& strCaption, UINT nType,
                                 int nButtonId) = 0;
    // The working dialog, modal: it runs Kavset for the job and closes when Kavset has ended.
    virtual void RunWorkingDialog(HWND hOwner, CKavsetJob& job) = 0;
    virtual void RunPropertyDialog(HWND hOwner, const CUSBEnumerateExData& device,
                                   const CUSBEnumerateExTree& node) = 0;
    virtual void RunAboutDialog() = 0;
    virtual void ShowTrayMenu() = 0;
    virtual void CloseMainWindow() = 0;
};
} // namespace Kavelor
