// winsim: the common controls' image lists as the tray application's icon list uses them — created at an
// icon size, icons added or replaced in their slots, slots declared overlay pictures, and destroyed.
// winsim/user answers them; its rules are listed there.
#pragma once

#include <windef.h>
#include <winuser.h>

typedef struct _IMAGELIST* HIMAGELIST;

#define ILC_MASK 0x00000001u
#define ILC_COLOR24 0x00000018u
#define ILC_COLOR32 0x00000020u

HIMAGELIST WINAPI ImageList_Create(int cx, int cy, UINT flags, int cInitial, int cGrow);
BOOL WINAPI ImageList_Destroy(HIMAGELIST himl);
int WINAPI ImageList_ReplaceIcon(HIMAGELIST himl, int i, HICON hicon);
#define ImageList_AddIcon(himl, hicon) ImageList_ReplaceIcon(himl, -1, hicon)
BOOL WINAPI ImageList_SetOverlayImage(HIMAGELIST himl, int iImage, int iOverlay);
int WINAPI ImageList_GetImageCount(HIMAGELIST himl);

// The list view as the device list uses it (icon view, single selection): items with text, image,
// overlay and parameter; selection and focus; finding an item by its parameter; the scroll origin; the
// notifications its parent gets. winsim/user models the control (list_view.cpp states its rules).
#define WC_LISTVIEWW u"SysListView32"

#define LVS_ICON 0x0000u
#define LVS_SINGLESEL 0x0004u
#define LVS_SHOWSELALWAYS 0x0008u
#define LVS_SHAREIMAGELISTS 0x0040u
#define LVS_AUTOARRANGE 0x0100u
#define LVS_TYPEMASK 0x0003u

#define LVSIL_NORMAL 0

#define LVIF_TEXT 0x0001u
#define LVIF_IMAGE 0x0002u
#define LVIF_PARAM 0x0004u
#define LVIF_STATE 0x0008u

#define LVIS_FOCUSED 0x0001u
#define LVIS_SELECTED 0x0002u
#define LVIS_OVERLAYMASK 0x0F00u
#define INDEXTOOVERLAYMASK(i) ((i) << 8)

#define LVNI_ALL 0x0000u
#define LVNI_FOCUSED 0x0001u
#define LVNI_SELECTED 0x0002u

#define LVFI_PARAM 0x0001u

#define CLR_NONE 0xFFFFFFFFu
#define CLR_DEFAULT 0xFF000000u

#define LVM_FIRST 0x1000
#define LVM_GETBKCOLOR (LVM_FIRST + 0)
#define LVM_SETIMAGELIST (LVM_FIRST + 3)
#define LVM_GETITEMCOUNT (LVM_FIRST + 4)
#define LVM_DELETEALLITEMS (LVM_FIRST + 9)
#define LVM_GETNEXTITEM (LVM_FIRST + 12)
#define LVM_ENSUREVISIBLE (LVM_FIRST + 19)
#define LVM_SCROLL (LVM_FIRST + 20)
#define LVM_GETORIGIN (LVM_FIRST + 41)
#define LVM_SETITEMSTATE (LVM_FIRST + 43)
#define LVM_APPROXIMATEVIEWRECT (LVM_FIRST + 64)
#define LVM_GETITEMW (LVM_FIRST + 75)
#define LVM_INSERTITEMW (LVM_FIRST + 77)
#define LVM_FINDITEMW (LVM_FIRST + 83)

#define LVN_FIRST (0u - 100u)
#define LVN_ITEMCHANGED (LVN_FIRST - 1)
#define LVN_INSERTITEM (LVN_FIRST - 2)
#define LVN_DELETEITEM (LVN_FIRST - 3)
#define LVN_DELETEALLITEMS (LVN_FIRST - 4)
#define NM_DBLCLK (0u - 3u)

typedef struct tagLVITEMW
{
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPWSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
    int iIndent;
    int iGroupId;
    UINT cColumns;
    UINT* puColumns;
    int* piColFmt;
    int iGroup;
} LVITEMW, *LPLVITEMW;

typedef struct tagLVFINDINFOW
{
    UINT flags;
    LPCWSTR psz;
    LPARAM lParam;
    POINT pt;
    UINT vkDirection;
} LVFINDINFOW, *LPFINDINFOW;

typedef struct tagNMLISTVIEW
{
    NMHDR hdr;
    int iItem;
    int iSubItem;
    UINT uNewState;
    UINT uOldState;
    UINT uChanged;
    POINT ptAction;
    LPARAM lParam;
} NMLISTVIEW, *LPNMLISTVIEW;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(LVITEMW) == 60, "LVITEMW is the platform's layout");
#else
static_assert(sizeof(LVITEMW) == 88, "LVITEMW is the platform's layout");
#endif

// Window subclassing through comctl32: each subclass of a window is called in turn, newest first.
typedef LRESULT(CALLBACK* SUBCLASSPROC)(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                        UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
BOOL WINAPI SetWindowSubclass(HWND hWnd, SUBCLASSPROC pfnSubclass, UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
BOOL WINAPI RemoveWindowSubclass(HWND hWnd, SUBCLASSPROC pfnSubclass, UINT_PTR uIdSubclass);
LRESULT WINAPI DefSubclassProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
