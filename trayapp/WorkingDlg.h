// CWorkingDlg: the small wait dialog while Kavset runs. It stays hidden until Kavset has been started (a
// refused elevation never shows it), its worker thread runs the job's RunKavset and posts WM_SCAN_UPDATE
// when Kavset has ended, and the dialog then closes. A worker that cannot be created closes the dialog at
// once with the message that the setting could not be made.
#pragma once

#include "trayapp/Dialog.h"

namespace Kavelor
{
class CKavsetJob;

class CWorkingDlg : public CDialog
{
public:
    CWorkingDlg(HINSTANCE hInstance, CKavsetJob& job);
    ~CWorkingDlg() override;

protected:
    BOOL OnInitDialog() override;
    INT_PTR DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    static DWORD WINAPI WorkerEntry(LPVOID pParam);
    // The worker: Kavset through the shell, then the notice to the dialog.
    void RunKavset();

    CKavsetJob& m_job;
    HANDLE m_hWorker;
};
} // namespace Kavelor
