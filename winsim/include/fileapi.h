// winsim: file attributes of the paths the simulated PC's file system holds (files and folders).
#pragma once

#include <windef.h>

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
