// CColorToolBar: the main window's toolbar — flat buttons with 24-bit pictures (magenta is transparent)
// and their texts below, and the size all buttons need together, from which the window is sized.
#pragma once

#include <windows.h>
#include <commctrl.h>

namespace Kavelor
{
class CColorToolBar
{
public:
    CColorToolBar();
    ~CColorToolBar();
    CColorToolBar(const CColorToolBar&) = delete;
    CColorToolBar& operator=(const CColorToolBar&) = delete;

    BOOL Create(HINSTANCE hInstance, HWND hParent, UINT nId);
    // The image strip of bitmap nBitmapId, one button per command with the text of the string beside it.
    BOOL SetupButtons(HINSTANCE hInstance, UINT nBitmapId, const UINT* pCommands, const UINT* pTextIds,
                      int nCount);
    // Sum of the button widths and the largest button height; false without a window.
    BOOL GetBarSize(SIZE& size) const;
    void EnableButton(UINT nCommand, BOOL bEnable);
    void Destroy();

    HWND m_hWnd;

private:
    HIMAGELIST m_hImages;
};
} // namespace Kavelor
