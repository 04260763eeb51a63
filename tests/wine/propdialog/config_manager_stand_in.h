// The Configuration Manager calls of Kavelor's windows under a Wine that does not implement them (see
// config_manager_stand_in.cpp), the record of the stick the Wine tests describe in the prefix, and the lines
// in which the programs tell their test what a window shows.
#pragma once

#include "enumlib/EnumerateData.h"

namespace propdialog
{
// Decides once, before a window of Kavelor opens: true when this Wine cannot locate the node itself and the
// setup-API stand-ins answer.
bool UseConfigManagerStandInUnlessWineLocates(const wchar_t* pszInstanceId);

// A supported stick (vendor and product of the shipped table) as the enumeration records it: its USB node
// and, below it, its storage node with the drive letter, as the volume pass leaves it. The nodes are
// located through the Configuration Manager, so call it on the thread of the window that reads them.
Kavelor::CUSBEnumerateExData StandInStick(const wchar_t* pszUsbId, const wchar_t* pszStorageId,
                                          wchar_t chDriveLetter);

// "name<TAB>text" on standard output in UTF-8, at once: the test reads it while the window is open.
void PrintUtf8(const char* pszName, const wchar_t* pszText);
} // namespace propdialog
