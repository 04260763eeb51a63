// winsim/user: child controls and the calls around them — CreateWindowExW of the classes the simulation
// models (the list view; any other class is a violation), SendMessageW through the comctl32 subclass
// chain to the control's procedure or to a test window's procedure, DestroyWindow with WM_DESTROY and
// WM_NCDESTROY, a control's client size, and the little GDI a window of the product touches: device
// contexts, the screen's DPI (96), fonts made and deleted, the system colours and the icon-title font.
// Rules checked: a message sent from another thread than the window's (the simulation delivers sends
// only in the owner's thread), DefSubclassProc outside a subclass procedure of that window, a subclass set
// twice or removed when it is not set, a child without a live parent, a DC released twice or used after
// release, a font deleted that is not live; at teardown, fonts or DCs left. The host paints nothing:
// the text calls of a paint only check their DC.
#include "winsim/user/user_internal.h"

#include <cstring>

using namespace winsim::user;

namespace
{
// The subclass procedure running in this thread, innermost last: its window and how many subclasses
// below it DefSubclassProc has still to call.
struct SubclassFrame
{
    HWND hwnd;
    size_t below;
};
thread_local std::vector<SubclassFrame> t_frames;

const HGDIOBJ kSystemFont = reinterpret_cast<HGDIOBJ>(static_cast<uintptr_t>(0x0A0000));

// The window's procedure after every subclass: the control's, or the test's, or DefWindowProc's 0.
LRESULT CallWindowItself(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<ListViewState> listView;
    std::function<LRESULT(UINT, WPARAM, LPARAM)> testProc;
    {
        auto lock = Lock();
        SimWindow* window = FindWindowLocked(hwnd);
        listView = window->listView;
        testProc = window->testProc;
    }
    if (listView)
    {
        return ListViewProc(hwnd, message, wParam, lParam);
    }
    return testProc ? testProc(message, wParam, lParam) : 0;
}

// Calls the subclass `below` - 1 (counting from the oldest), or the window itself when none is left.
LRESULT CallChain(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, size_t below)
{
    Subclass subclass;
    {
        auto lock = Lock();
        SimWindow* window = FindWindowLocked(hwnd);
        if (below > window->subclasses.size())
        {
            below = window->subclasses.size();
        }
        if (below == 0)
        {
            subclass.proc = nullptr;
        }
        else
        {
            subclass = window->subclasses[below - 1];
        }
    }
    if (subclass.proc == nullptr)
    {
        return CallWindowItself(hwnd, message, wParam, lParam);
    }
    t_frames.push_back({hwnd, below - 1});
    LRESULT result = subclass.proc(hwnd, message, wParam, lParam, subclass.id, subclass.refData);
    t_frames.pop_back();
    return result;
}

SimWindow& OwnedLiveWindow(HWND hwnd, const char* call)
{
    SimWindow* window = FindWindowLocked(hwnd);
    if (window == nullptr || !window->alive)
    {
        Violation("%s on %p, which is not a window", call, static_cast<void*>(hwnd));
    }
    if (window->threadId != GetCurrentThreadId())
    {
        Violation("%s on %p from thread %u; the simulation delivers it only in the window's thread %u", call,
                  static_cast<void*>(hwnd), GetCurrentThreadId(), window->threadId);
    }
    return *window;
}

std::unique_lock<std::mutex> LockWithLiveDc(HDC hdc, const char* call)
{
    auto lock = Lock();
    if (I().deviceContexts.count(hdc) == 0)
    {
        Violation("%s with %p, which is not a live device context", call, static_cast<void*>(hdc));
    }
    return lock;
}
} // namespace

namespace winsim::user
{
void SetTestWindowProc(HWND hwnd, std::function<LRESULT(UINT, WPARAM, LPARAM)> proc)
{
    auto lock = Lock();
    OwnedLiveWindow(hwnd, "SetTestWindowProc").testProc = std::move(proc);
}

std::vector<HWND> LiveChildrenOf(HWND parent)
{
    auto lock = Lock();
    std::vector<HWND> children;
    for (const SimWindow& window : I().windows)
    {
        if (window.alive && window.parent == parent)
        {
            children.push_back(window.hwnd);
        }
    }
    return children;
}
} // namespace winsim::user

HWND WINAPI CreateWindowExW(DWORD, LPCWSTR lpClassName, LPCWSTR, DWORD dwStyle, int, int, int nWidth,
                            int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE, LPVOID)
{
    if (lpClassName == nullptr || IS_INTRESOURCE(lpClassName) ||
        Upper(lpClassName) != Upper(reinterpret_cast<const WCHAR*>(WC_LISTVIEWW)))
    {
        Violation("CreateWindowExW of a class the simulation does not model");
    }
    if ((dwStyle & WS_CHILD) == 0)
    {
        Violation("CreateWindowExW of a list view without WS_CHILD");
    }
    SimWindow window;
    {
        auto lock = Lock();
        SimWindow& parent = OwnedLiveWindow(hWndParent, "CreateWindowExW's parent");
        window.hwnd = reinterpret_cast<HWND>(NewHandleValue());
        window.threadId = parent.threadId;
        window.processId = parent.processId;
        window.parent = hWndParent;
        window.controlId = reinterpret_cast<UINT_PTR>(hMenu);
        window.style = dwStyle;
        int border = (dwStyle & WS_BORDER) != 0 ? 2 : 0;
        window.clientWidth = nWidth > border ? nWidth - border : 0;
        window.clientHeight = nHeight > border ? nHeight - border : 0;
        window.listView = NewListViewState(dwStyle, window.hwnd);
        I().windows.push_back(window);
    }
    return window.hwnd;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    bool control = false;
    {
        auto lock = Lock();
        control = OwnedLiveWindow(hWnd, "DestroyWindow").parent != nullptr;
    }
    if (!control)
    {
        DestroyTestWindow(hWnd);
        return TRUE;
    }
    for (HWND child : LiveChildrenOf(hWnd))
    {
        DestroyWindow(child);
    }
    SendMessageW(hWnd, WM_DESTROY, 0, 0);
    SendMessageW(hWnd, WM_NCDESTROY, 0, 0);
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hWnd);
    // comctl32 takes away the subclasses left when the window goes.
    window->subclasses.clear();
    window->alive = false;
    window->listView.reset();
    return TRUE;
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    size_t depth = 0;
    {
        auto lock = Lock();
        SimWindow* window = FindWindowLocked(hWnd);
        if (window == nullptr || !window->alive)
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        depth = OwnedLiveWindow(hWnd, "SendMessageW").subclasses.size();
    }
    return CallChain(hWnd, Msg, wParam, lParam, depth);
}

HWND WINAPI GetParent(HWND hWnd)
{
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hWnd);
    if (window == nullptr || !window->alive)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return window->parent;
}

BOOL WINAPI MoveWindow(HWND hWnd, int, int, int nWidth, int nHeight, BOOL)
{
    int width = 0;
    int height = 0;
    {
        auto lock = Lock();
        SimWindow& window = OwnedLiveWindow(hWnd, "MoveWindow");
        int border = (window.style & WS_BORDER) != 0 ? 2 : 0;
        window.clientWidth = width = nWidth > border ? nWidth - border : 0;
        window.clientHeight = height = nHeight > border ? nHeight - border : 0;
    }
    SendMessageW(hWnd, WM_SIZE, 0, MAKELPARAM(width, height));
    return TRUE;
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect)
{
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hWnd);
    if (window == nullptr || !window->alive || lpRect == nullptr)
    {
        SetLastError(window == nullptr || !window->alive ? ERROR_INVALID_WINDOW_HANDLE
                                                         : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpRect = RECT{0, 0, window->clientWidth, window->clientHeight};
    return TRUE;
}

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT*, BOOL)
{
    return IsWindow(hWnd);
}

BOOL WINAPI SetWindowSubclass(HWND hWnd, SUBCLASSPROC pfnSubclass, UINT_PTR uIdSubclass, DWORD_PTR dwRefData)
{
    auto lock = Lock();
    SimWindow& window = OwnedLiveWindow(hWnd, "SetWindowSubclass");
    for (Subclass& subclass : window.subclasses)
    {
        if (subclass.proc == pfnSubclass && subclass.id == uIdSubclass)
        {
            // Windows replaces the reference data of a subclass set again.
            subclass.refData = dwRefData;
            return TRUE;
        }
    }
    window.subclasses.push_back({pfnSubclass, uIdSubclass, dwRefData});
    return TRUE;
}

BOOL WINAPI RemoveWindowSubclass(HWND hWnd, SUBCLASSPROC pfnSubclass, UINT_PTR uIdSubclass)
{
    auto lock = Lock();
    SimWindow& window = OwnedLiveWindow(hWnd, "RemoveWindowSubclass");
    for (auto it = window.subclasses.begin(); it != window.subclasses.end(); ++it)
    {
        if (it->proc == pfnSubclass && it->id == uIdSubclass)
        {
            window.subclasses.erase(it);
            return TRUE;
        }
    }
    Violation("RemoveWindowSubclass of a subclass that is not set on %p", static_cast<void*>(hWnd));
}

LRESULT WINAPI DefSubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (t_frames.empty() || t_frames.back().hwnd != hWnd)
    {
        Violation("DefSubclassProc on %p outside a subclass procedure of that window",
                  static_cast<void*>(hWnd));
    }
    return CallChain(hWnd, uMsg, wParam, lParam, t_frames.back().below);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
{
    if (lpModuleName == nullptr)
    {
        return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
    }
    // What LoadLibraryW loaded answers; user32 is not among the simulated modules, so its per-monitor DPI
    // routines are absent, as before Windows 10.
    std::string name = NarrowUpper(FileNameOf(lpModuleName));
    bool isLoaded = false;
    {
        auto lock = Lock();
        auto found = I().moduleRefs.find(name);
        isLoaded = found != I().moduleRefs.end() && found->second != 0;
    }
    if (!isLoaded)
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // The same handle as the load that counts; the extra reference is given back at once.
    HMODULE loaded = LoadLibraryW(lpModuleName);
    FreeLibrary(loaded);
    return loaded;
}

int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator)
{
    if (nDenominator == 0)
    {
        return -1;
    }
    int64_t product = static_cast<int64_t>(nNumber) * nNumerator;
    int64_t half = (nDenominator < 0 ? -nDenominator : nDenominator) / 2;
    int64_t rounded = ((product < 0) != (nDenominator < 0) ? product - (product < 0 ? -half : half)
                                                           : product + (product < 0 ? -half : half)) /
                      nDenominator;
    if (rounded > INT32_MAX || rounded < INT32_MIN)
    {
        return -1;
    }
    return static_cast<int>(rounded);
}

DWORD WINAPI GetSysColor(int nIndex)
{
    switch (nIndex)
    {
    case COLOR_WINDOW:
        return RGB(255, 255, 255);
    case COLOR_GRAYTEXT:
        return RGB(109, 109, 109);
    default:
        Violation("GetSysColor(%d) is not simulated", nIndex);
    }
}

BOOL WINAPI SystemParametersInfoW(UINT uiAction, UINT uiParam, PVOID pvParam, UINT)
{
    if (uiAction != SPI_GETICONTITLELOGFONT)
    {
        Violation("SystemParametersInfoW(%u) is not simulated", uiAction);
    }
    if (uiParam != sizeof(LOGFONTW) || pvParam == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LOGFONTW font = {};
    font.lfHeight = -12;
    font.lfWeight = 400;
    font.lfCharSet = 128; // SHIFTJIS_CHARSET
    const char16_t face[] = u"Yu Gothic UI";
    std::memcpy(font.lfFaceName, face, sizeof(face));
    std::memcpy(pvParam, &font, sizeof(font));
    return TRUE;
}

HDC WINAPI GetDC(HWND hWnd)
{
    auto lock = Lock();
    if (hWnd != nullptr)
    {
        OwnedLiveWindow(hWnd, "GetDC");
    }
    HDC hdc = reinterpret_cast<HDC>(NewHandleValue());
    I().deviceContexts[hdc] = hWnd;
    return hdc;
}

int WINAPI ReleaseDC(HWND hWnd, HDC hDC)
{
    auto lock = Lock();
    auto found = I().deviceContexts.find(hDC);
    if (found == I().deviceContexts.end() || found->second != hWnd)
    {
        Violation("ReleaseDC of %p, which is not a live device context of window %p", static_cast<void*>(hDC),
                  static_cast<void*>(hWnd));
    }
    I().deviceContexts.erase(found);
    return 1;
}

int WINAPI GetDeviceCaps(HDC hdc, int index)
{
    auto lock = LockWithLiveDc(hdc, "GetDeviceCaps");
    if (index != LOGPIXELSX && index != LOGPIXELSY)
    {
        Violation("GetDeviceCaps(%d) is not simulated", index);
    }
    return 96;
}

HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf)
{
    if (lplf == nullptr)
    {
        return nullptr;
    }
    auto lock = Lock();
    HFONT font = reinterpret_cast<HFONT>(NewHandleValue());
    I().fonts.insert(font);
    return font;
}

BOOL WINAPI DeleteObject(HGDIOBJ ho)
{
    auto lock = Lock();
    if (I().fonts.erase(static_cast<HFONT>(ho)) == 0)
    {
        Violation("DeleteObject of %p, which is not a live font", ho);
    }
    return TRUE;
}

HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h)
{
    auto lock = LockWithLiveDc(hdc, "SelectObject");
    if (h != kSystemFont && I().fonts.count(static_cast<HFONT>(h)) == 0)
    {
        Violation("SelectObject of %p, which is not a live font", h);
    }
    return kSystemFont;
}

COLORREF WINAPI SetBkColor(HDC hdc, COLORREF)
{
    return LockWithLiveDc(hdc, "SetBkColor") ? RGB(255, 255, 255) : CLR_INVALID;
}

int WINAPI SetBkMode(HDC hdc, int mode)
{
    return LockWithLiveDc(hdc, "SetBkMode") && (mode == OPAQUE || mode == TRANSPARENT) ? OPAQUE : 0;
}

COLORREF WINAPI SetTextColor(HDC hdc, COLORREF)
{
    return LockWithLiveDc(hdc, "SetTextColor") ? RGB(0, 0, 0) : CLR_INVALID;
}

BOOL WINAPI GetTextMetricsW(HDC hdc, LPTEXTMETRICW lptm)
{
    auto lock = LockWithLiveDc(hdc, "GetTextMetricsW");
    if (lptm == nullptr)
    {
        return FALSE;
    }
    *lptm = TEXTMETRICW{};
    lptm->tmHeight = 16;
    lptm->tmAveCharWidth = 7;
    return TRUE;
}

int WINAPI DrawTextW(HDC hdc, LPCWSTR lpchText, int, LPRECT lprc, UINT)
{
    auto lock = LockWithLiveDc(hdc, "DrawTextW");
    return lpchText != nullptr && lprc != nullptr ? 16 : 0;
}
