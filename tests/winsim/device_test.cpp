// Device objects and stacks, the property store, driver loading and AddDevice, remove locks, versions and
// strings: the kernel services a filter's entry, AddDevice and removal rely on.
#include "tests/support/test_filter.h"
#include "winsim/registry/registry_store.h"

#include <atomic>
#include <cstring>
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

namespace
{

HANDLE CreateSubkey(HANDLE parent, PCWSTR name, ACCESS_MASK access, NTSTATUS* status)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE, parent, nullptr);
    HANDLE key = nullptr;
    *status = ZwCreateKey(&key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    return key;
}

NTSTATUS SetQword(HANDLE key, PCWSTR name, ULONGLONG value)
{
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    return ZwSetValueKey(key, &text, 0, REG_QWORD, &value, sizeof value);
}

ULONGLONG StoredQword(const std::u16string& subkey, const std::u16string& name)
{
    auto value = winsim::registry::Read(u"USB\\VID_3A7E&PID_1201\\0001", subkey, name);
    ULONGLONG result = 0;
    if (value && value->type == REG_QWORD && value->data.size() == sizeof result)
    {
        std::memcpy(&result, value->data.data(), sizeof result);
    }
    return value ? result : ~0ull;
}

} // namespace

// A driver writes its device's hardware key; what it wrote outlives its handles (and its device objects,
// as the registry does); a handle is used only for what it was opened for; a failed write changes nothing.
TEST_F(DeviceTest, TheHardwareKeyKeepsWhatTheDriverWroteUnderTheRulesOfItsHandles)
{
    const size_t handles = winsim::OpenHandleCount();
    HANDLE device = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &device))
        << "a device object without a device node";
    winsim::SetDeviceInstancePath(pdo, u"USB\\VID_3A7E&PID_1201\\0001");
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &device));
    EXPECT_TRUE(winsim::IsKernelHandle(device));
    NTSTATUS status;
    HANDLE unit = CreateSubkey(device, u"Unit0", KEY_WRITE, &status);
    ASSERT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(STATUS_SUCCESS, SetQword(unit, u"BytesRead", 1024));
    EXPECT_EQ(1024u, StoredQword(u"unit0", u"bytesread")) << "names are case-insensitive";

    winsim::FailRegistryWritesEvery(2);
    EXPECT_EQ(STATUS_SUCCESS, SetQword(unit, u"BytesRead", 2048));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, SetQword(unit, u"BytesRead", 4096));
    EXPECT_EQ(2048u, StoredQword(u"Unit0", u"BytesRead")) << "the failed write changed nothing";
    EXPECT_EQ(1u, winsim::FailedRegistryWrites());
    winsim::FailRegistryWritesEvery(0);
    ZwClose(unit);
    ZwClose(device);

    HANDLE reader = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &reader));
    EXPECT_EQ(nullptr, CreateSubkey(reader, u"Unit1", KEY_WRITE, &status));
    EXPECT_EQ(STATUS_ACCESS_DENIED, status) << "no new subkey through a handle opened for reading";
    HANDLE readUnit = CreateSubkey(reader, u"Unit0", KEY_READ, &status);
    ASSERT_EQ(STATUS_SUCCESS, status) << "an existing one opens";
    EXPECT_EQ(STATUS_ACCESS_DENIED, SetQword(readUnit, u"BytesRead", 1));
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"BytesRead");
    UCHAR buffer[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONGLONG)];
    ULONG needed = 0;
    ASSERT_EQ(STATUS_SUCCESS,
              ZwQueryValueKey(readUnit, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed));
    EXPECT_EQ(ULONG(REG_QWORD), reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Type);
    ZwClose(readUnit);
    ZwClose(reader);
    EXPECT_EQ(handles, winsim::OpenHandleCount()) << "every handle closed";

    BugCheckTrap trap;
    EXPECT_THROW(IoOpenDeviceRegistryKey(filter, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &reader), BugCheckError)
        << "only a physical device object has a hardware key";
    EXPECT_THROW(SetQword(reinterpret_cast<HANDLE>(0x1234), u"BytesRead", 1), BugCheckError)
        << "a handle that is not an open key";
}
