// CColorToolBar: the toolbar control, its image list and its buttons.
#include "trayapp/ColorToolBar.h"

#include "trayapp/ResourceText.h"

#include <vector>

namespace Kavelor
{
namespace
{
const COLORREF kTransparent = RGB(0xFF, 0x00, 0xFF);
} // namespace

CColorToolBar::CColorToolBar() : m_hWnd(nullptr), m_hImages(nullptr) {}

CColorToolBar::~CColorToolBar()
{
    Destroy();
}

void CColorToolBar::Destroy()
{
    if (m_hWnd != nullptr)
    {
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    if (m_hImages != nullptr)
    {
        ImageList_Destroy(m_hImages);
        m_hImages = nullptr;
    }
}

BOOL CColorToolBar::Create(HINSTANCE hInstance, HWND hParent, UINT nId)
{
    m_hWnd = CreateWindowExW(
        0, TOOLBARCLASSNAMEW, nullptr, WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_TOP, 0,
        0, 0, 0, hParent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nId)), hInstance, nullptr);
    if (m_hWnd == nullptr)
    {
        return FALSE;
    }
    SendMessageW(m_hWnd, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    return TRUE;
}

void CColorToolBar::LoadImages(HINSTANCE hInstance, UINT nBitmapId, int nImageSize)
{
    HIMAGELIST hImages = ImageList_Create(nImageSize, nImageSize, ILC_COLOR24 | ILC_MASK, 5, 6);
    if (hImages == nullptr)
    {
        return;
    }
    HBITMAP hStrip = static_cast<HBITMAP>(
        LoadImageW(hInstance, MAKEINTRESOURCEW(nBitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP strip = {};
    // The strip's height is the size its pictures were drawn for.
    if (hStrip != nullptr && GetObjectW(hStrip, sizeof(strip), &strip) != 0 && strip.bmHeight != nImageSize &&
        strip.bmHeight > 0)
    {
        DeleteObject(hStrip);
        hStrip = static_cast<HBITMAP>(LoadImageW(hInstance, MAKEINTRESOURCEW(nBitmapId), IMAGE_BITMAP,
                                                 MulDiv(strip.bmWidth, nImageSize, strip.bmHeight),
                                                 nImageSize, LR_CREATEDIBSECTION));
    }
    if (hStrip != nullptr)
    {
        ImageList_AddMasked(hImages, hStrip, kTransparent);
        DeleteObject(hStrip);
    }
    SendMessageW(m_hWnd, TB_SETBITMAPSIZE, 0, MAKELPARAM(nImageSize, nImageSize));
    SendMessageW(m_hWnd, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(hImages));
    if (m_hImages != nullptr)
    {
        ImageList_Destroy(m_hImages);
    }
    m_hImages = hImages;
}

void CColorToolBar::FitButtons()
{
    SendMessageW(m_hWnd, TB_AUTOSIZE, 0, 0);
    RECT first = {};
    if (SendMessageW(m_hWnd, TB_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&first)))
    {
        SendMessageW(m_hWnd, TB_SETBUTTONSIZE, 0,
                     MAKELPARAM(first.right - first.left, first.bottom - first.top));
    }
    SendMessageW(m_hWnd, TB_AUTOSIZE, 0, 0);
}

BOOL CColorToolBar::SetupButtons(HINSTANCE hInstance, UINT nBitmapId, int nImageSize, const UINT* pCommands,
                                 const UINT* pTextIds, int nCount)
{
    LoadImages(hInstance, nBitmapId, nImageSize);
    LONG_PTR style = GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, style | TBSTYLE_FLAT | TBSTYLE_TOOLTIPS);

    // The texts must live until TB_ADDBUTTONS has copied them.
    std::vector<WString> texts;
    for (int at = 0; at < nCount; ++at)
    {
        texts.push_back(LoadText(hInstance, pTextIds[at]));
    }
    std::vector<TBBUTTON> buttons(static_cast<size_t>(nCount));
    for (int at = 0; at < nCount; ++at)
    {
        TBBUTTON& button = buttons[static_cast<size_t>(at)];
        button.iBitmap = at;
        button.idCommand = static_cast<int>(pCommands[at]);
        button.fsState = TBSTATE_ENABLED;
        button.fsStyle = BTNS_BUTTON;
        button.iString = reinterpret_cast<INT_PTR>(texts[static_cast<size_t>(at)].c_str());
    }
    if (!SendMessageW(m_hWnd, TB_ADDBUTTONS, static_cast<WPARAM>(nCount),
                      reinterpret_cast<LPARAM>(buttons.data())))
    {
        return FALSE;
    }
    FitButtons();
    return TRUE;
}

void CColorToolBar::Rescale(HINSTANCE hInstance, UINT nBitmapId, int nImageSize, HFONT hFont)
{
    if (m_hWnd == nullptr)
    {
        return;
    }
    if (hFont != nullptr)
    {
        SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), FALSE);
    }
    LoadImages(hInstance, nBitmapId, nImageSize);
    FitButtons();
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

BOOL CColorToolBar::GetBarSize(SIZE& size) const
{
    if (m_hWnd == nullptr || !IsWindow(m_hWnd))
    {
        return FALSE;
    }
    size.cx = 0;
    size.cy = 0;
    int nCount = static_cast<int>(SendMessageW(m_hWnd, TB_BUTTONCOUNT, 0, 0));
    for (int at = 0; at < nCount; ++at)
    {
        RECT item = {};
        if (SendMessageW(m_hWnd, TB_GETITEMRECT, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&item)))
        {
            size.cx += item.right - item.left;
            size.cy = item.bottom - item.top > size.cy ? item.bottom - item.top : size.cy;
        }
    }
    return TRUE;
}

void CColorToolBar::EnableButton(UINT nCommand, BOOL bEnable)
{
    SendMessageW(m_hWnd, TB_ENABLEBUTTON, nCommand, MAKELPARAM(bEnable ? TRUE : FALSE, 0));
}
} // namespace Kavelor
