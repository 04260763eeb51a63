// winsim: the user-mode base definitions that windows.h pulls in before anything else (calling-convention
// macros, window handle types, MAX_PATH). Sizes come from basetsd.h, which fixes the LLP64 model.
#pragma once

#include <basetsd.h>

#ifndef WINAPI
#define WINAPI
#define CALLBACK
#define APIENTRY
#endif

#ifndef CONST
#define CONST const
#endif

typedef int WINBOOL;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

#ifndef MAX_PATH
#define MAX_PATH 260
#endif
