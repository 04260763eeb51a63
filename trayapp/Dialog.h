// CDialog: the thin modal-dialog class Kavelor's dialogs derive from. DoModal runs the dialog template of
// the program's resources with the object as its creation parameter; every message goes to the object's
// DialogProc, whose FALSE lets the dialog manager handle it.
#pragma once

#include <windows.h>

namespace Kavelor
{
class CDialog
{
public:
    CDialog(HINSTANCE hInstance, UINT nTemplateId);
    virtual ~CDialog() = default;
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // The dialog's result, -1 when it could not be created.
    INT_PTR DoModal(HWND hParent);

    HWND m_hWnd;

protected:
    virtual BOOL OnInitDialog();
    virtual INT_PTR DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam);
    void EndDialog(INT_PTR nResult);
    void SetItemText(int nId, LPCWSTR pszText);

    HINSTANCE m_hInstance;

private:
    static INT_PTR CALLBACK StaticDialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

    UINT m_nTemplateId;
};
} // namespace Kavelor
