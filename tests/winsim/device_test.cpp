// Device objects and stacks, the property store, driver loading and AddDevice, remove locks, versions and
// strings: the kernel services a filter's entry, AddDevice and removal rely on.
#include "tests/support/test_filter.h"

#include <atomic>
#include <thread>

using winsim::BugCheckError;
using winsim::BugCheckTrap;

namespace
{

using namespace kavtest;

class DeviceTest : public FilterTest
{
};

TEST_F(DeviceTest, AttachBuildsTheStackAndDetachUndoesIt)
{
    EXPECT_EQ(pdo, Lower(filter));
    EXPECT_EQ(filter, pdo->AttachedDevice);
    EXPECT_EQ(2, filter->StackSize);
    EXPECT_EQ(filter, driver->DeviceObject);
    PDEVICE_OBJECT second = Attach(driver, pdo);
    EXPECT_EQ(filter, Lower(second)) << "attaching goes on top of the stack";
    EXPECT_EQ(second, driver->DeviceObject);
    EXPECT_EQ(filter, second->NextDevice) << "the driver's device list links both";

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    EXPECT_EQ(second, top);
    ObfDereferenceObject(top);

    Detach(second);
    EXPECT_EQ(nullptr, filter->AttachedDevice);
    EXPECT_EQ(filter, driver->DeviceObject);
    Detach(filter);
    EXPECT_EQ(nullptr, driver->DeviceObject);
    winsim::UnloadDriver(driver);
}

TEST_F(DeviceTest, DeletingAnAttachedDeviceOrAFailedAttachIsHandled)
{
    BugCheckTrap trap;
    EXPECT_THROW(IoDeleteDevice(filter), BugCheckError) << "still attached to the PDO";
    EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    winsim::FailNextAttach();
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, 8, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, IoAttachDeviceToDeviceStack(device, pdo));
    IoDeleteDevice(device);
}

// Removal runs top-down through the stack, but each driver passes the request on before it detaches, so a
// lower device is deleted while the one above is still attached to it; it must stay usable until then.
TEST_F(DeviceTest, ADeviceDeletedUnderAnAttachedOneLivesUntilThatOneDetaches)
{
    PDEVICE_OBJECT upper = Attach(driver, pdo);
    const size_t blocks = winsim::PoolOutstandingBlocks();
    Detach(filter); // still has `upper` attached above it
    EXPECT_EQ(upper, filter->AttachedDevice);
    EXPECT_EQ(blocks, winsim::PoolOutstandingBlocks()) << "deleted, but its memory stays";
    EXPECT_EQ(upper, driver->DeviceObject) << "no longer one of the driver's devices";
    Detach(upper);
    EXPECT_LT(winsim::PoolOutstandingBlocks(), blocks) << "gone once the device above detached";
    EXPECT_EQ(nullptr, driver->DeviceObject);
    winsim::UnloadDriver(driver);
}

TEST_F(DeviceTest, DevicePropertyUsesTheTwoCallSizePattern)
{
    ULONG size = 0;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, 0, nullptr, &size));
    EXPECT_EQ(8u, size) << "\"USB\" and its terminating null";
    WCHAR name[4] = {};
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, 6, name, &size));
    EXPECT_EQ(STATUS_SUCCESS,
              IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof name, name, &size));
    EXPECT_EQ(std::u16string(u"USB"), std::u16string(name));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
              IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, 0, nullptr, &size));
    EXPECT_EQ(0u, size);

    BugCheckTrap trap;
    EXPECT_THROW(IoGetDeviceProperty(filter, DevicePropertyEnumeratorName, 0, nullptr, &size), BugCheckError)
        << "only physical device objects have properties";
    EXPECT_EQ(1u, trap.Count(PNP_DETECTED_FATAL_ERROR));
}

TEST_F(DeviceTest, AddDeviceMustFinishInitialisation)
{
    static bool clear;
    auto entry = [](PDRIVER_OBJECT object, PUNICODE_STRING) {
        object->DriverExtension->AddDevice = [](PDRIVER_OBJECT self, PDEVICE_OBJECT physical) {
            PDEVICE_OBJECT device = Attach(self, physical);
            if (!clear)
            {
                device->Flags |= DO_DEVICE_INITIALIZING;
            }
            return STATUS_SUCCESS;
        };
        object->DriverUnload = [](PDRIVER_OBJECT) {};
        return STATUS_SUCCESS;
    };
    PDRIVER_OBJECT adder = winsim::LoadDriver(u"Adder", entry);
    clear = true;
    EXPECT_EQ(STATUS_SUCCESS, winsim::CallAddDevice(adder, pdo));
    clear = false;
    BugCheckTrap trap;
    EXPECT_THROW(winsim::CallAddDevice(adder, pdo), BugCheckError);
    EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    EXPECT_THROW(winsim::UnloadDriver(adder), BugCheckError) << "devices left at unload";
}

TEST_F(DeviceTest, RemoveLockDrainsHoldersAndRefusesNewOnes)
{
    static IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x65555355, 1, 100);
    int a, b;
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &a));
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &b));
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        released = true;
        IoReleaseRemoveLock(&lock, &b);
    });
    IoReleaseRemoveLockAndWait(&lock, &a);
    EXPECT_TRUE(released) << "removal waited for the other holder";
    holder.join();
    EXPECT_EQ(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &a));
    EXPECT_TRUE(lock.Common.Removed);
}

TEST_F(DeviceTest, RemoveLockImbalanceIsCaught)
{
    static IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 0x65555355, 1, 100);
    int tag, other;
    BugCheckTrap trap;
    EXPECT_THROW(IoReleaseRemoveLock(&lock, &tag), BugCheckError) << "released without acquiring";
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &tag));
    EXPECT_THROW(IoReleaseRemoveLock(&lock, &other), BugCheckError) << "released with another tag";
    IO_REMOVE_LOCK never;
    EXPECT_THROW(IoAcquireRemoveLock(&never, &tag), BugCheckError) << "not initialised";
    EXPECT_EQ(3u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    for (const auto& record : trap.Recorded())
    {
        EXPECT_EQ(ULONG_PTR(winsim::RemoveLockImbalance), record.parameters[0]);
    }
}

TEST_F(DeviceTest, DeletingADeviceWhoseRemoveLockIsHeldIsCaught)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                             FALSE, &device));
    auto* lock = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(lock, 0x65555355, 1, 100);
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(lock, device));
    BugCheckTrap trap;
    EXPECT_THROW(IoDeleteDevice(device), BugCheckError);
    EXPECT_EQ(ULONG_PTR(winsim::RemoveLockImbalance), trap.Recorded().at(0).parameters[0]);
}

TEST_F(DeviceTest, VersionKnobsDriveTheVersionQueries)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"RtlIsNtDdiVersionAvailable");
    using IsAvailable = BOOLEAN (*)(ULONG);
    auto routine = reinterpret_cast<IsAvailable>(MmGetSystemRoutineAddress(&name));
    ASSERT_NE(nullptr, routine);
    EXPECT_TRUE(routine(NTDDI_WINXP));
    EXPECT_FALSE(routine(NTDDI_WIN8));

    winsim::SetOsVersion(5, 1, 2600, 3);
    winsim::ExportRtlIsNtDdiVersionAvailable(false);
    EXPECT_EQ(nullptr, MmGetSystemRoutineAddress(&name));
    ULONG major = 0, minor = 0, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(5u, major);
    EXPECT_EQ(1u, minor);
    EXPECT_EQ(2600u, build);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(0x05010300));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WS03));
}

TEST_F(DeviceTest, UnicodeComparisonIgnoresCaseOnRequest)
{
    UNICODE_STRING usb, usbstor, mixed;
    RtlInitUnicodeString(&usb, u"USB");
    RtlInitUnicodeString(&usbstor, u"USBSTOR");
    RtlInitUnicodeString(&mixed, u"UsbStor");
    EXPECT_EQ(6, usb.Length);
    EXPECT_EQ(8, usb.MaximumLength);
    EXPECT_EQ(0, RtlCompareUnicodeString(&usbstor, &mixed, TRUE));
    EXPECT_NE(0, RtlCompareUnicodeString(&usbstor, &mixed, FALSE));
    EXPECT_LT(RtlCompareUnicodeString(&usb, &usbstor, TRUE), 0) << "a prefix sorts first";
    const char bytes[] = "abcdef";
    EXPECT_EQ(3u, RtlCompareMemory(bytes, "abcxef", 6));
}

} // namespace
