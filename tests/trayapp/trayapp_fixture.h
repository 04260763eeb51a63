// The simulated PC the tray application's tests run on: a machine (for the enumeration and the handle
// accounting) with the user-mode desktop on top, Kavelor's own string table read from its .rc file, and
// helpers to build processes and a supported stick.
#pragma once

#include "enumlib/WideString.h"
#include "tests/support/test_machines.h"
#include "winsim/machine/machine.h"
#include "winsim/user/desktop.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kavtest
{
using namespace winsim::user;

inline Kavelor::WString W(const char16_t* text)
{
    return Kavelor::WString(reinterpret_cast<const WCHAR*>(text));
}

// The resource identifiers of trayapp/res/resource.h by name.
inline std::map<std::string, UINT> KavelorResourceIds()
{
    std::map<std::string, UINT> ids;
    std::ifstream header(KAV_SOURCE_DIR "/trayapp/res/resource.h");
    std::string line;
    while (std::getline(header, line))
    {
        std::istringstream words(line);
        std::string directive, name;
        long value = 0;
        if (words >> directive >> name >> value && directive == "#define")
        {
            ids[name] = static_cast<UINT>(value);
        }
    }
    return ids;
}

// The STRINGTABLE of trayapp/res/Kavelor.rc, its names resolved through resource.h: the texts the
// program shows are checked against the file that builds them.
inline std::map<UINT, std::u16string> LoadKavelorStrings()
{
    std::map<std::string, UINT> ids = KavelorResourceIds();
    std::string line;
    std::map<UINT, std::u16string> strings;
    std::ifstream rc(KAV_SOURCE_DIR "/trayapp/res/Kavelor.rc");
    bool inTable = false;
    while (std::getline(rc, line))
    {
        if (line == "STRINGTABLE")
        {
            inTable = true;
            continue;
        }
        if (inTable && line == "END")
        {
            break;
        }
        size_t quote = line.find('"');
        if (!inTable || quote == std::string::npos)
        {
            continue;
        }
        std::istringstream words(line.substr(0, quote));
        std::string name;
        words >> name;
        std::string text;
        for (size_t at = quote + 1; at < line.size() && line[at] != '"'; ++at)
        {
            if (line[at] == '\\' && at + 1 < line.size() && line[at + 1] == 'n')
            {
                text += '\n';
                ++at;
            }
            else
            {
                text += line[at];
            }
        }
        strings[ids.at(name)] = winsim::machine::Widen(text);
    }
    return strings;
}

// The lines of one dialog's template in trayapp/res/Kavelor.rc, between its BEGIN and END.
inline std::vector<std::string> KavelorDialogLines(const std::string& dialogName)
{
    std::ifstream rc(KAV_SOURCE_DIR "/trayapp/res/Kavelor.rc");
    std::string line;
    std::vector<std::string> lines;
    bool inDialog = false;
    while (std::getline(rc, line))
    {
        if (line.rfind(dialogName + " DIALOGEX", 0) == 0)
        {
            inDialog = true;
        }
        else if (inDialog && line == "END")
        {
            break;
        }
        else if (inDialog && line != "BEGIN")
        {
            lines.push_back(line);
        }
    }
    return lines;
}

class TrayAppTest : public ::testing::Test
{
protected:
    TrayAppTest() : scopedMachine_(machine_) { desktop_->strings = LoadKavelorStrings(); }

    winsim::machine::Machine machine_;
    winsim::machine::ScopedMachine scopedMachine_;
    ScopedDesktop desktop_;
};
} // namespace kavtest
