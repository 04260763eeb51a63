// Filter-list and string-property writes (see FilterList.h).
#include "regtool/FilterList.h"

#include "enumlib/DevNodeProperty.h"

#include <vector>

namespace Kavelor
{
namespace
{
bool ListHolds(const std::list<WString>& lstValues, const WString& strEntry)
{
    for (const WString& value : lstValues)
    {
        if (EqualsNoCase(value, strEntry))
        {
            return true;
        }
    }
    return false;
}

// The current list of a node; node 0 has none. False only when the property exists but cannot be read.
bool ReadList(DEVINST dnDevInst, ULONG ulProperty, std::list<WString>& lstValues)
{
    lstValues.clear();
    return dnDevInst == 0 || GetDevNodeStringList(dnDevInst, ulProperty, lstValues);
}
} // namespace

bool SetDevNodeString(DEVINST dnDevInst, ULONG ulProperty, const WString& strValue)
{
    ULONG length = static_cast<ULONG>((strValue.size() + 1) * sizeof(WCHAR));
    return CM_Set_DevNode_Registry_PropertyW(dnDevInst, ulProperty, strValue.c_str(), length, 0) ==
           CR_SUCCESS;
}

bool SetDevNodeStringList(DEVINST dnDevInst, ULONG ulProperty, const std::list<WString>& lstValues)
{
    std::vector<WCHAR> buffer;
    for (const WString& value : lstValues)
    {
        if (!value.empty())
        {
            buffer.insert(buffer.end(), value.begin(), value.end());
            buffer.push_back(0);
        }
    }
    if (buffer.empty())
    {
        return false;
    }
    buffer.push_back(0);
    ULONG length = static_cast<ULONG>(buffer.size() * sizeof(WCHAR));
    return CM_Set_DevNode_Registry_PropertyW(dnDevInst, ulProperty, buffer.data(), length, 0) == CR_SUCCESS;
}

bool DeleteDevNodeProperty(DEVINST dnDevInst, ULONG ulProperty)
{
    return CM_Set_DevNode_Registry_PropertyW(dnDevInst, ulProperty, nullptr, 0, 0) == CR_SUCCESS;
}

bool AddDevNodeListEntry(DEVINST dnDevInst, ULONG ulProperty, const WString& strEntry)
{
    std::list<WString> values;
    if (!ReadList(dnDevInst, ulProperty, values))
    {
        return false;
    }
    if (ListHolds(values, strEntry))
    {
        return true;
    }
    values.push_back(strEntry);
    return SetDevNodeStringList(dnDevInst, ulProperty, values);
}

bool RemoveDevNodeListEntry(DEVINST dnDevInst, ULONG ulProperty, const WString& strEntry)
{
    std::list<WString> values;
    if (!ReadList(dnDevInst, ulProperty, values))
    {
        return false;
    }
    if (!ListHolds(values, strEntry))
    {
        return true;
    }
    values.remove_if([&strEntry](const WString& value) { return EqualsNoCase(value, strEntry); });
    if (values.empty())
    {
        return DeleteDevNodeProperty(dnDevInst, ulProperty);
    }
    return SetDevNodeStringList(dnDevInst, ulProperty, values);
}
} // namespace Kavelor
