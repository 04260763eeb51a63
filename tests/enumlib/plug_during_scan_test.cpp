// Devices come and go while the tray application's scan thread enumerates: every run must end, list only
// devices that were there, and leave no handle open, whatever call of the walk the change falls between.
#include "tests/support/test_machines.h"

#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace
{

using namespace kavtest;

TEST(PlugDuringScan, EveryRunEndsWithAConsistentListAndNoOpenHandle)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, true);
    UsbDevice& stick = AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"COMING", {u'E'});
    UsbDeviceParams hubParams;
    hubParams.vendorId = 0x05E3;
    hubParams.productId = 0x0608;
    UsbDevice& hubDevice = machine.AttachDevice(*controller.rootHub, 2, hubParams);
    Hub& hub = machine.MakeHub(hubDevice, 4);
    AddStick(machine, hub, 3, kVid, 0x1201, u"BEHIND", {u'F'});
    AddKeyboard(machine, *controller.rootHub, 3);

    std::atomic<bool> done{false};
    std::thread plugger([&] {
        for (int round = 0; !done; ++round)
        {
            UsbDevice& device = round % 2 == 0 ? stick : hubDevice;
            machine.Unplug(device);
            std::this_thread::yield();
            machine.Replug(device);
        }
    });

    size_t shortest = 99;
    size_t longest = 0;
    for (int run = 0; run < 300; ++run)
    {
        Kavelor::CUSBEnumerateExList list;
        Kavelor::CUSBEnumerateEx enumerator(&list);
        enumerator.Enumerate();
        shortest = std::min(shortest, list.size());
        longest = std::max(longest, list.size());
        EXPECT_LE(list.size(), 3u);
        for (const Kavelor::CUSBEnumerateExData& record : list)
        {
            // A record is one of the three devices, never a hub and never a stranger.
            EXPECT_TRUE(record.wVendorId == kVid || record.wVendorId == 0x046D) << record.wVendorId;
            Kavelor::GetFilterState(record);
        }
    }
    done = true;
    plugger.join();
    EXPECT_GE(shortest, 1u); // the keyboard never leaves
    EXPECT_LE(longest, 3u);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);

    Kavelor::CUSBEnumerateExList list;
    Kavelor::CUSBEnumerateEx enumerator(&list);
    enumerator.Enumerate();
    EXPECT_EQ(list.size(), 3u); // everything is back after the last replug
}
} // namespace
