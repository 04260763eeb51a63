// CWindow: window-class registration and the routing of messages to the object behind the window.
#include "trayapp/Window.h"

namespace Kavelor
{
CWindow::CWindow() : m_hWnd(nullptr) {}

CWindow::~CWindow()
{
    DestroyWindow();
}

BOOL CWindow::RegisterWindowClass(HINSTANCE hInstance, LPCWSTR pszClassName, UINT nIconId)
{
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = StaticWindowProc;
    wc.hInstance = hInstance;
    wc.hIcon = static_cast<HICON>(
        LoadImageW(hInstance, MAKEINTRESOURCEW(nIconId), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
    wc.hIconSm = static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(nIconId), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    wc.lpszClassName = pszClassName;
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

BOOL CWindow::CreateEx(DWORD dwExStyle, HINSTANCE hInstance, LPCWSTR pszClassName, LPCWSTR pszTitle,
                       DWORD dwStyle, int x, int y, int cx, int cy, HWND hParent)
{
    HWND hWnd = CreateWindowExW(dwExStyle, pszClassName, pszTitle, dwStyle, x, y, cx, cy, hParent, nullptr,
                                hInstance, this);
    return hWnd != nullptr;
}

void CWindow::DestroyWindow()
{
    if (m_hWnd != nullptr)
    {
        ::DestroyWindow(m_hWnd);
    }
}

LRESULT CWindow::WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    return Default(nMsg, wParam, lParam);
}

LRESULT CWindow::Default(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(m_hWnd, nMsg, wParam, lParam);
}

// The object arrives with WM_NCCREATE (the first message a window receives) and leaves with
// WM_NCDESTROY (the last); messages outside that span have no object and get the default handling.
LRESULT CALLBACK CWindow::StaticWindowProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CWindow* pWindow = reinterpret_cast<CWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (nMsg == WM_NCCREATE)
    {
        pWindow = static_cast<CWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        pWindow->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pWindow));
    }
    if (pWindow == nullptr)
    {
        return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    }
    LRESULT result = pWindow->WindowProc(nMsg, wParam, lParam);
    if (nMsg == WM_NCDESTROY)
    {
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
        pWindow->m_hWnd = nullptr;
    }
    return result;
}
} // namespace Kavelor
