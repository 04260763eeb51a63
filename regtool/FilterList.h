// The filter lists and single-string properties of a device node as Kavset writes them. A filter list is
// the multi-string property CM_DRP_UPPERFILTERS or CM_DRP_LOWERFILTERS: driver service names, each ended
// by one 0 character, and one more 0 after the last. Entries compare ignoring the case of A to Z; new
// entries go at the end, existing ones keep their order; a list with no entry left is deleted, never
// written empty.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <list>

namespace Kavelor
{
// One write of the text with its terminator ((characters + 1) * 2 bytes); true on CR_SUCCESS.
bool SetDevNodeString(DEVINST dnDevInst, ULONG ulProperty, const WString& strValue);
// One write of the non-empty entries in multi-string form; false without writing when none is left.
bool SetDevNodeStringList(DEVINST dnDevInst, ULONG ulProperty, const std::list<WString>& lstValues);
// Deletes the property (null buffer, length 0); true on CR_SUCCESS.
bool DeleteDevNodeProperty(DEVINST dnDevInst, ULONG ulProperty);

// True when the list holds the entry afterwards: already there (nothing written), or appended and written.
// A list that exists but cannot be read is not written (writing would drop entries never read): false.
bool AddDevNodeListEntry(DEVINST dnDevInst, ULONG ulProperty, const WString& strEntry);
// True when the list holds no such entry afterwards: none was there, every copy was removed and the rest
// written, or the emptied list was deleted. An unreadable list is left alone: false.
bool RemoveDevNodeListEntry(DEVINST dnDevInst, ULONG ulProperty, const WString& strEntry);
} // namespace Kavelor
