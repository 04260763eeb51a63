// winsim: the user-mode umbrella header. Like Windows' own it pulls the base types, the error codes, the
// kernel32 calls and the I/O control layout; the UI parts are added by the headers that need them.
#pragma once

#include <basetsd.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winioctl.h>
