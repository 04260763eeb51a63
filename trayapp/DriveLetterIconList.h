// CDriveLetterIconList: the list view's large-icon image list — one slot per drive letter, whose picture
// is the shell's icon of the drive root and is replaced on every fill (a new medium or label shows), and
// the two overlay pictures for "speed-up off" and "speed-up incomplete". Letters compare without case;
// a letter keeps its slot for the life of the list. The list owns the image list: the list view is told
// to share it, not to destroy it.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <map>

namespace Kavelor
{
class CDriveLetterIconList
{
public:
    CDriveLetterIconList();
    virtual ~CDriveLetterIconList();
    CDriveLetterIconList(const CDriveLetterIconList&) = delete;
    CDriveLetterIconList& operator=(const CDriveLetterIconList&) = delete;

    // The image list at the large-icon size (of the window's DPI) with the overlays of the setup library;
    // false when the image list cannot be created. A list made before (for another DPI) is destroyed with
    // its letters.
    BOOL Create(HINSTANCE hInstance, int cx, int cy);
    void Destroy();
    // The letter's slot, refreshed from the shell when bRefresh is set; -1 when it has none.
    int GetIconIndex(WCHAR chLetter, BOOL bRefresh);

    HIMAGELIST m_hImageList;
    std::map<WCHAR, int> m_letters;
    BOOL m_bCreated;
    int m_cx;
    int m_cy;

private:
    void AddOverlay(HMODULE hModule, UINT nIconId, HINSTANCE hInstance, UINT nOwnIconId, int nOverlay);
};
} // namespace Kavelor
