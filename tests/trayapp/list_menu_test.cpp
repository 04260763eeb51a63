// The device list's context menu on the simulated PC, from the command menu as Kavelor.rc defines it:
// Enable, Disable and Properties (Version and Help taken out), Properties as the default (bold) item, each
// grey or not as its toolbar button, commands to the main window, and the loaded menu destroyed again.
#include "trayapp/ListContextMenu.h"
#include "trayapp/res/resource.h"

#include "tests/trayapp/trayapp_fixture.h"

#include <fstream>
#include <set>
#include <string>

namespace
{
using namespace kavtest;

// The commands of the popups of menu `name` in Kavelor.rc (0 for a separator), resolved through resource.h.
std::vector<std::vector<UINT>> KavelorMenu(const std::string& name)
{
    std::map<std::string, UINT> ids = KavelorResourceIds();
    std::string line;
    std::vector<std::vector<UINT>> popups;
    std::ifstream rc(KAV_SOURCE_DIR "/trayapp/res/Kavelor.rc");
    bool inMenu = false;
    while (std::getline(rc, line))
    {
        if (line == name + " MENU")
        {
            inMenu = true;
        }
        else if (inMenu && line == "END")
        {
            break;
        }
        else if (inMenu && line.find("POPUP") != std::string::npos)
        {
            popups.emplace_back();
        }
        else if (inMenu && line.find("MENUITEM SEPARATOR") != std::string::npos)
        {
            popups.back().push_back(0);
        }
        else if (inMenu && line.find("MENUITEM") != std::string::npos)
        {
            std::string symbol = line.substr(line.rfind(',') + 1);
            symbol.erase(0, symbol.find_first_not_of(' '));
            popups.back().push_back(ids.at(symbol));
        }
    }
    return popups;
}

using ListMenuTest = TrayAppTest;

TEST_F(ListMenuTest, TheListsMenuOffersEnableDisableAndPropertiesInBoldEachEnabledAsItsButton)
{
    desktop_->menuItems[IDR_MAINFRAME] = KavelorMenu("IDR_MAINFRAME");
    ASSERT_EQ(desktop_->menuItems[IDR_MAINFRAME].size(), 1u);
    HWND mainWindow = CreateTestWindow(desktop_->currentProcessId);
    HWND list = CreateTestWindow(desktop_->currentProcessId);

    std::set<UINT> asked;
    Kavelor::TrackListContextMenu(nullptr, list, mainWindow, [&](UINT nId) {
        asked.insert(nId);
        return nId != ID_COMMAND_ENABLE; // an enabled device: Enable is grey
    });
    ASSERT_EQ(desktop_->trackedMenus.size(), 1u);
    const TrackedMenu& menu = desktop_->trackedMenus[0];
    EXPECT_EQ(menu.items,
              (std::vector<std::pair<UINT, bool>>{
                  {ID_COMMAND_ENABLE, true}, {ID_COMMAND_DISABLE, false}, {ID_COMMAND_PROPERTIES, false}}));
    EXPECT_EQ(menu.defaultItem, static_cast<UINT>(ID_COMMAND_PROPERTIES));
    EXPECT_EQ(menu.owner, mainWindow) << "the commands go through the main window's routing";
    EXPECT_EQ(asked, (std::set<UINT>{ID_COMMAND_ENABLE, ID_COMMAND_DISABLE, ID_COMMAND_PROPERTIES}));
    EXPECT_EQ(LiveMenuCount(), 0u);
    EXPECT_TRUE(WaitForPosted(list, WM_NULL, 0)) << "so that the menu closes when the user clicks elsewhere";

    // Without the menu resource nothing is shown.
    desktop_->menuItems.clear();
    Kavelor::TrackListContextMenu(nullptr, list, mainWindow, [](UINT) { return TRUE; });
    EXPECT_EQ(desktop_->trackedMenus.size(), 1u);
}
} // namespace
