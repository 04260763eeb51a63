// The device list's icons on the simulated PC: one slot per drive letter whatever its case, its picture
// taken from the shell again on every fill into the same slot, every shell icon destroyed once it is in the
// list, the overlays for "off" and "incomplete" from the setup library or, where it has none, Kavelor's
// own, and the image list destroyed exactly once (a second destroy is a violation).
#include "trayapp/DriveLetterIconList.h"
#include "trayapp/DriveListItem.h"
#include "trayapp/res/resource.h"

#include "tests/trayapp/trayapp_fixture.h"

namespace
{
using namespace kavtest;
using Kavelor::CDriveLetterIconList;

class DriveIconsTest : public TrayAppTest
{
protected:
    DriveIconsTest() { desktop_->shellDriveIcons = {u'E', u'F'}; }

    ImageListInfo Info(const CDriveLetterIconList& icons)
    {
        ImageListInfo info;
        EXPECT_TRUE(GetImageListInfo(icons.m_hImageList, info));
        return info;
    }
};

TEST_F(DriveIconsTest, ALetterKeepsOneSlotWhateverItsCaseAndItsPictureIsRenewedOnRequest)
{
    desktop_->absentModules = {"SETUPAPI.DLL"};
    CDriveLetterIconList icons;
    ASSERT_TRUE(icons.Create(nullptr, 48, 48));
    EXPECT_EQ(Info(icons).cx, 48);
    EXPECT_EQ(Info(icons).count, 0) << "no overlays without the setup library";

    int e = icons.GetIconIndex(u'e', TRUE);
    EXPECT_EQ(e, 0);
    EXPECT_EQ(icons.GetIconIndex(u'E', TRUE), e) << "refreshed in its slot";
    EXPECT_EQ(icons.GetIconIndex(u'E', FALSE), e);
    EXPECT_EQ(icons.GetIconIndex(u'F', FALSE), 1) << "a letter not seen yet is asked for in any case";
    EXPECT_EQ(Info(icons).count, 2);
    EXPECT_EQ(icons.m_letters.size(), 2u);
    EXPECT_EQ(desktop_->shellIconRequests, (std::vector<Kavelor::WString>{u"e:\\", u"E:\\", u"F:\\"}))
        << "no request for a known letter without refresh";
    EXPECT_EQ(LiveIconCount(), 0u) << "the shell's icons are destroyed once copied into the list";

    // A drive the shell has no icon for gets no slot; one it stops knowing keeps its slot.
    EXPECT_EQ(icons.GetIconIndex(u'G', TRUE), -1);
    desktop_->shellDriveIcons.clear();
    EXPECT_EQ(icons.GetIconIndex(u'e', TRUE), e);
    EXPECT_EQ(Info(icons).count, 2);

    HIMAGELIST list = icons.m_hImageList;
    icons.Destroy();
    EXPECT_EQ(LiveImageListCount(), 0u);
    ImageListInfo gone;
    EXPECT_FALSE(GetImageListInfo(list, gone));
    EXPECT_TRUE(icons.m_letters.empty());
}

TEST_F(DriveIconsTest, TheOverlaysComeFromTheSetupLibraryOrElseFromKavelorItself)
{
    desktop_->iconResources = {501, 500};
    {
        CDriveLetterIconList icons;
        ASSERT_TRUE(icons.Create(nullptr, 32, 32));
        EXPECT_EQ(Info(icons).overlays,
                  (std::map<int, int>{{Kavelor::OVERLAY_DEVICE_OFF, 0}, {Kavelor::OVERLAY_STORAGE_OFF, 1}}));
        EXPECT_EQ(icons.GetIconIndex(u'E', TRUE), 2) << "drive pictures after the overlays";
    }
    EXPECT_EQ(LoadedModuleCount(), 0u);
    EXPECT_EQ(LiveImageListCount(), 0u) << "destroyed with the object";

    // Wine's setup library has no such pictures: Kavelor's own stand in, the same two overlays.
    desktop_->iconResources = {IDI_OVERLAY_DEVICE_OFF, IDI_OVERLAY_STORAGE_OFF};
    CDriveLetterIconList icons;
    ASSERT_TRUE(icons.Create(nullptr, 32, 32));
    EXPECT_EQ(Info(icons).overlays.size(), 2u);

    // A second Create (the window moved to another DPI) starts again at the new size.
    icons.GetIconIndex(u'F', TRUE);
    ASSERT_TRUE(icons.Create(nullptr, 64, 64));
    EXPECT_EQ(LiveImageListCount(), 1u);
    EXPECT_EQ(Info(icons).cx, 64);
    EXPECT_TRUE(icons.m_letters.empty());
    EXPECT_EQ(LiveIconCount(), 0u);
}
} // namespace
