// winsim: the user-mode umbrella header. Like Windows' own it pulls the base types, the error codes, the
// kernel32 calls, the I/O control layout and the security calls; the UI parts are added by the headers that
// need them.
#pragma once

#include <basetsd.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winioctl.h>
#include <winnt.h>
#include <securitybaseapi.h>
