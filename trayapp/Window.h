// CWindow: the thin window class Kavelor's windows derive from. It registers a window class, creates the
// window with the object as its creation parameter and routes every message to the object's WindowProc;
// whatever a window does not handle goes to DefWindowProcW. The object does not own the window's life:
// its owner destroys the window before it deletes the object.
#pragma once

#include <windows.h>

namespace Kavelor
{
class CWindow
{
public:
    CWindow();
    virtual ~CWindow();
    CWindow(const CWindow&) = delete;
    CWindow& operator=(const CWindow&) = delete;

    static BOOL RegisterWindowClass(HINSTANCE hInstance, LPCWSTR pszClassName, UINT nIconId);
    BOOL CreateEx(DWORD dwExStyle, HINSTANCE hInstance, LPCWSTR pszClassName, LPCWSTR pszTitle, DWORD dwStyle,
                  int x, int y, int cx, int cy, HWND hParent);
    void DestroyWindow();

    HWND m_hWnd;

protected:
    virtual LRESULT WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam);
    LRESULT Default(UINT nMsg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK StaticWindowProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
};
} // namespace Kavelor
