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
