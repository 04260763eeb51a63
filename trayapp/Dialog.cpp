// CDialog: the modal loop of the dialog manager and the routing of messages to the object.
#include "trayapp/Dialog.h"

namespace Kavelor
{
CDialog::CDialog(HINSTANCE hInstance, UINT nTemplateId)
    : m_hWnd(nullptr), m_hInstance(hInstance), m_nTemplateId(nTemplateId)
{
}

INT_PTR CDialog::DoModal(HWND hParent)
{
    return DialogBoxParamW(m_hInstance, MAKEINTRESOURCEW(m_nTemplateId), hParent, StaticDialogProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog()
{
    return TRUE;
}

// OK and Cancel (and the close box, which sends IDCANCEL) end the dialog with their identifier.
INT_PTR CDialog::DialogProc(UINT nMsg, WPARAM wParam, LPARAM)
{
    if (nMsg == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))
    {
        EndDialog(LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void CDialog::EndDialog(INT_PTR nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

void CDialog::SetItemText(int nId, LPCWSTR pszText)
{
    SetDlgItemTextW(m_hWnd, nId, pszText);
}

// The object arrives with WM_INITDIALOG; messages before it (the font, the non-client creation) belong to
// the dialog manager.
INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CDialog* pDialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(hWnd, DWLP_USER));
    if (nMsg == WM_INITDIALOG)
    {
        pDialog = reinterpret_cast<CDialog*>(lParam);
        pDialog->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, DWLP_USER, lParam);
        return pDialog->OnInitDialog();
    }
    if (pDialog == nullptr)
    {
        return FALSE;
    }
    INT_PTR nResult = pDialog->DialogProc(nMsg, wParam, lParam);
    if (nMsg == WM_NCDESTROY)
    {
        SetWindowLongPtrW(hWnd, DWLP_USER, 0);
        pDialog->m_hWnd = nullptr;
    }
    return nResult;
}
} // namespace Kavelor
