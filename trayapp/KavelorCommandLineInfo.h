// CKavelorCommandLineInfo: Kavelor's command line. Its one option is the switch "s" ("/s" or "-s", any
// case), which starts Kavelor hidden with only its tray icon; every other argument is ignored.
#pragma once

#include "enumlib/WideString.h"

#include <vector>

namespace Kavelor
{
class CKavelorCommandLineInfo
{
public:
    void ParseParam(const WString& strArgument);
    void ParseCommandLine(const std::vector<WString>& arguments);

    int m_bHideOnStart = 0;
};
} // namespace Kavelor
