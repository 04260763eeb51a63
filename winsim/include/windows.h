// winsim: the user-mode umbrella header. Like Windows' own it pulls the base types, the error codes, the
// kernel32 calls, the I/O control layout, the security calls, user32, the service control manager and the
// shell's tray call.
#pragma once

#include <basetsd.h>
#include <windef.h>
#include <winerror.h>
#include <winbase.h>
#include <winioctl.h>
#include <winnt.h>
#include <securitybaseapi.h>
#include <synchapi.h>
#include <processthreadsapi.h>
#include <libloaderapi.h>
#include <fileapi.h>
#include <sysinfoapi.h>
#include <winuser.h>
#include <winsvc.h>
#include <winreg.h>
#include <shellapi.h>
