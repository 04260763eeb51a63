// CColorToolBar: the main window's toolbar — flat buttons with 24-bit pictures (magenta is transparent)
// and their texts below, sized for the window's DPI, and the size all buttons need together, from which
// the window is sized.
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
    // The image strip of bitmap nBitmapId with pictures of nImageSize pixels, one button per command with
    // the text of the string beside it.
    BOOL SetupButtons(HINSTANCE hInstance, UINT nBitmapId, int nImageSize, const UINT* pCommands,
                      const UINT* pTextIds, int nCount);
    // The pictures again at another size (the window moved to a monitor of another DPI), in this font.
    void Rescale(HINSTANCE hInstance, UINT nBitmapId, int nImageSize, HFONT hFont);
    // Sum of the button widths and the largest button height; false without a window.
    BOOL GetBarSize(SIZE& size) const;
    void EnableButton(UINT nCommand, BOOL bEnable);
    void Destroy();

    HWND m_hWnd;

private:
    // The strip, its pictures stretched or shrunk to the size asked for.
    void LoadImages(HINSTANCE hInstance, UINT nBitmapId, int nImageSize);
    // Every button as large as the first one needs to be.
    void FitButtons();

    HIMAGELIST m_hImages;
};
} // namespace Kavelor
