// The per-monitor DPI routines of user32, bound at run time, with the system DPI in their stead.
#include "trayapp/WindowDpi.h"

namespace Kavelor
{
namespace
{
typedef UINT(WINAPI* PFN_GetDpiForWindow)(HWND hWnd);
typedef int(WINAPI* PFN_GetSystemMetricsForDpi)(int nIndex, UINT nDpi);
typedef BOOL(WINAPI* PFN_SystemParametersInfoForDpi)(UINT uiAction, UINT uiParam, PVOID pvParam, UINT fWinIni,
                                                     UINT nDpi);

// user32 stays loaded for the life of the process: its address is all that is needed.
template <class T> T User32Routine(const char* pszName)
{
    HMODULE hUser = GetModuleHandleW(TEXT("user32.dll"));
    return hUser != nullptr ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(hUser, pszName)))
                            : nullptr;
}

UINT SystemDpi()
{
    HDC hScreen = GetDC(nullptr);
    int nDpi = hScreen != nullptr ? GetDeviceCaps(hScreen, LOGPIXELSY) : 0;
    if (hScreen != nullptr)
    {
        ReleaseDC(nullptr, hScreen);
    }
    return nDpi > 0 ? static_cast<UINT>(nDpi) : DEFAULT_DPI;
}
} // namespace

UINT GetWindowDpi(HWND hWnd)
{
    static const PFN_GetDpiForWindow pGetDpiForWindow = User32Routine<PFN_GetDpiForWindow>("GetDpiForWindow");
    UINT nDpi = pGetDpiForWindow != nullptr && hWnd != nullptr ? pGetDpiForWindow(hWnd) : 0;
    return nDpi != 0 ? nDpi : SystemDpi();
}

int ScaleToDpi(int nLength, UINT nDpi)
{
    return MulDiv(nLength, static_cast<int>(nDpi), static_cast<int>(DEFAULT_DPI));
}

int GetSystemMetricForDpi(int nIndex, UINT nDpi)
{
    static const PFN_GetSystemMetricsForDpi pForDpi =
        User32Routine<PFN_GetSystemMetricsForDpi>("GetSystemMetricsForDpi");
    if (pForDpi != nullptr)
    {
        return pForDpi(nIndex, nDpi);
    }
    // The system metrics are at the system DPI, which is then the only one.
    return GetSystemMetrics(nIndex);
}

HFONT CreateIconTitleFont(UINT nDpi)
{
    static const PFN_SystemParametersInfoForDpi pForDpi =
        User32Routine<PFN_SystemParametersInfoForDpi>("SystemParametersInfoForDpi");
    LOGFONTW font = {};
    BOOL bRead = pForDpi != nullptr ? pForDpi(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0, nDpi)
                                    : SystemParametersInfoW(SPI_GETICONTITLELOGFONT, sizeof(font), &font, 0);
    return bRead ? CreateFontIndirectW(&font) : nullptr;
}
} // namespace Kavelor
