// CKavelorCommandLineInfo: the switch that starts Kavelor hidden.
#include "trayapp/KavelorCommandLineInfo.h"

namespace Kavelor
{
void CKavelorCommandLineInfo::ParseParam(const WString& strArgument)
{
    if (strArgument.empty() || (strArgument[0] != TEXT('/') && strArgument[0] != TEXT('-')))
    {
        return;
    }
    if (EqualsNoCase(strArgument.substr(1), TEXT("s")))
    {
        m_bHideOnStart = 1;
    }
}

void CKavelorCommandLineInfo::ParseCommandLine(const std::vector<WString>& arguments)
{
    for (const WString& strArgument : arguments)
    {
        ParseParam(strArgument);
    }
}
} // namespace Kavelor
