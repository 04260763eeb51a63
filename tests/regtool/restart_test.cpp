// The restart through the class installer: applied, refused because a volume is in use, wanting a reboot,
// or impossible because the device is gone; and the search for the device's element of the set.
#include "tests/regtool/regtool_fixture.h"

#include "regtool/DeviceRestart.h"

namespace
{
using namespace kavtest;
using Kavelor::FindDeviceInfo;
using Kavelor::RestartDevice;

class RestartTest : public KavsetMachineTest
{
protected:
    bool Restart(int& needRestart)
    {
        return RestartDevice(usbNode().handle, DICS_FLAG_GLOBAL, DICS_PROPCHANGE, needRestart);
    }
};

TEST_F(RestartTest, AnAppliedRestartLeavesNeedRestartAlone)
{
    int needRestart = 0;
    EXPECT_TRUE(Restart(needRestart));
    EXPECT_EQ(needRestart, 0);
    EXPECT_EQ(usbNode().restartCount, 1u);
    EXPECT_EQ(usbNode().restartsCompleted, 1u);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(RestartTest, AVolumeInUseOrARebootStillNeededSetsNeedRestart)
{
    reader_->luns[1]->volume->inUse = true;
    int needRestart = 0;
    EXPECT_TRUE(Restart(needRestart));
    EXPECT_EQ(needRestart, 1);
    EXPECT_EQ(usbNode().restartsCompleted, 0u);

    reader_->luns[1]->volume->inUse = false;
    machine_.classInstallerFlags = DI_NEEDREBOOT;
    needRestart = 0;
    EXPECT_TRUE(Restart(needRestart));
    EXPECT_EQ(needRestart, 1);
}

TEST_F(RestartTest, ADeviceNoLongerPresentIsNotRestarted)
{
    machine_.Unplug(*reader_);
    int needRestart = 0;
    EXPECT_FALSE(Restart(needRestart));
    EXPECT_EQ(needRestart, 0);
    EXPECT_EQ(usbNode().restartCount, 0u);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);

    // Among all devices, present or not, the phantom is still found, by its instance ID.
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA element = {};
    ASSERT_TRUE(FindDeviceInfo(usbNode().handle, FALSE, set, element));
    EXPECT_EQ(element.DevInst, usbNode().handle);
    EXPECT_EQ(element.cbSize, sizeof element);
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(RestartTest, NodeZeroIsSearchedByHandleAndNotFound)
{
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA element = {};
    EXPECT_FALSE(FindDeviceInfo(0, TRUE, set, element));
    machine_.failAllDevicesSet = true;
    EXPECT_FALSE(FindDeviceInfo(usbNode().handle, TRUE, set, element));
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}
} // namespace
