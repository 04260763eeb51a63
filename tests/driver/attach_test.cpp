// Classification and attachment: which stacks Kavfiltr joins, what the new device takes over from the
// stack below, and that a failed AddDevice leaves nothing behind.
#include "tests/driver/driver_fixture.h"

#include <string>
#include <tuple>

namespace
{

using namespace kavtest;
using AttachTest = KavfiltrTest;

TEST_F(AttachTest, EnumeratorDecidesTheRoleAndOtherDevicesStayUnfiltered)
{
    PDEVICE_OBJECT usb = AddFilter(u"usb");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(Extension(usb)->role, RoleUsbDevice);
    EXPECT_NE(UsbExtension(usb)->worker, nullptr);

    EXPECT_EQ(AddFilter(u"HID"), nullptr);
    EXPECT_EQ(AddFilter(u"USBSTORX"), nullptr);
    EXPECT_EQ(AddFilter(u""), nullptr); // no enumerator property at all

    PDEVICE_OBJECT disk = bus_->CreatePdo(u"UsbStor");
    AddUsbFilterWithChildren({disk});
    PDEVICE_OBJECT diskFilter = AddFilterTo(disk);
    ASSERT_NE(diskFilter, nullptr);
    EXPECT_EQ(Extension(diskFilter)->role, RoleStorageDisk);
    EXPECT_EQ(Extension(diskFilter)->physicalDevice, disk);
}

TEST_F(AttachTest, DiskIsFilteredOnlyBelowAFilteredUsbDevice)
{
    PDEVICE_OBJECT orphan = bus_->CreatePdo(u"USBSTOR");
    EXPECT_EQ(AddFilterTo(orphan), nullptr);

    PDEVICE_OBJECT usbWithoutRelations = AddFilter(u"USB");
    ASSERT_NE(usbWithoutRelations, nullptr);
    EXPECT_EQ(AddFilterTo(orphan), nullptr);

    PDEVICE_OBJECT child = bus_->CreatePdo(u"USBSTOR");
    AddUsbFilterWithChildren({bus_->CreatePdo(u"USBSTOR"), child});
    EXPECT_NE(AddFilterTo(child), nullptr);
    EXPECT_EQ(AddFilterTo(orphan), nullptr);
}

TEST_F(AttachTest, FilterTakesOverTheLowerDevicesTypeFlagsAndCharacteristics)
{
    PDEVICE_OBJECT pdo = bus_->CreatePdo(u"USB", FILE_DEVICE_DISK, FILE_REMOVABLE_MEDIA);
    pdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    PDEVICE_OBJECT filter = AddFilterTo(pdo);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
    EXPECT_EQ(filter->Characteristics & FILE_REMOVABLE_MEDIA, static_cast<ULONG>(FILE_REMOVABLE_MEDIA));
    EXPECT_EQ(filter->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE),
              static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(Extension(filter)->lowerDevice, pdo);
    EXPECT_EQ(Extension(filter)->pnpState, NotStarted);
}

TEST_F(AttachTest, VersionTestWithAndWithoutTheExportedRoutine)
{
    winsim::SetOsVersion(5, 1);
    EXPECT_TRUE(IsSystemVersionAtLeast(0x05010000));
    winsim::ExportRtlIsNtDdiVersionAvailable(false);
    EXPECT_TRUE(IsSystemVersionAtLeast(0x05010000));
    EXPECT_FALSE(IsSystemVersionAtLeast(0x05010100)); // a service pack byte never passes the fallback
    winsim::SetOsVersion(5, 0);
    EXPECT_FALSE(IsSystemVersionAtLeast(0x05010000));
    winsim::SetOsVersion(6, 1);
    EXPECT_TRUE(IsSystemVersionAtLeast(0x05010000));
}

// Every allocation AddDevice makes may fail; each failure must leave no device, no thread and no pool.
TEST_F(AttachTest, AllocationFailureAnywhereInAddDeviceLeavesNothingBehind)
{
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    for (ULONG n = 1;; ++n)
    {
        SCOPED_TRACE(n);
        PDEVICE_OBJECT pdo = bus_->CreatePdo(u"USB");
        winsim::FailAllocationAt(n);
        size_t failuresBefore = winsim::InjectedPoolFailures();
        NTSTATUS status = winsim::CallAddDevice(driver_, pdo);
        bool failed = winsim::InjectedPoolFailures() != failuresBefore;
        winsim::FailAllocationAt(0);
        if (!failed)
        {
            ASSERT_EQ(status, STATUS_SUCCESS);
            ASSERT_NE(pdo->AttachedDevice, nullptr);
            attached_.push_back(pdo->AttachedDevice);
            break;
        }
        // The enumerator read failing leaves the device unfiltered; any later failure fails AddDevice.
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL) << std::hex << status;
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_EQ(driver_->DeviceObject, nullptr);
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
        EXPECT_EQ(winsim::RunningSystemThreads(), 0u);
        ASSERT_LT(n, 50u);
    }
}

TEST_F(AttachTest, RemovalFreesEveryBlockOfBothRoles)
{
    PDEVICE_OBJECT disk = bus_->CreatePdo(u"USBSTOR");
    PDEVICE_OBJECT usb = AddUsbFilterWithChildren({disk});
    PDEVICE_OBJECT diskFilter = AddFilterTo(disk);
    ASSERT_NE(diskFilter, nullptr);
    EXPECT_GT(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);

    EXPECT_EQ(winsim::SendPnp(diskFilter, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(winsim::SendPnp(usb, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(driver_->DeviceObject, nullptr);
    EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
    EXPECT_EQ(winsim::RunningSystemThreads(), 0u);
    EXPECT_EQ(disk->AttachedDevice, nullptr);
}

// From Windows 8 on the driver's pool is non-executable, so no block it holds (device data among them) can
// be run as code; earlier systems know no such pool and get the plain one. The worker's thread handle is a
// kernel handle whatever process AddDevice runs in.
TEST_F(AttachTest, PoolIsNonExecutableWhereTheSystemHasItAndTheWorkerHandleIsTheKernels)
{
    for (const auto& [major, minor, executable] : {std::tuple{6u, 1u, true}, std::tuple{10u, 0u, false}})
    {
        SCOPED_TRACE(std::to_string(major) + "." + std::to_string(minor));
        winsim::UnloadDriver(driver_);
        winsim::SetOsVersion(major, minor);
        driver_ = winsim::LoadDriver(KAVFILTR_SERVICE_NAME, DriverEntry);
        const size_t before = winsim::PoolStats(KAVFILTR_POOL_TAG).executableAllocations;
        PDEVICE_OBJECT disk = bus_->CreatePdo(u"USBSTOR");
        PDEVICE_OBJECT usb = AddUsbFilterWithChildren({disk});
        ASSERT_NE(AddFilterTo(disk), nullptr);
        EXPECT_TRUE(winsim::IsKernelHandle(
            static_cast<UsbFilterExtension*>(usb->DeviceExtension)->worker->threadHandle));
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).executableAllocations > before, executable);
        for (PDEVICE_OBJECT filter : {disk->AttachedDevice, usb})
        {
            winsim::SendPnp(filter, IRP_MN_REMOVE_DEVICE);
        }
        attached_.clear();
    }
}

} // namespace
