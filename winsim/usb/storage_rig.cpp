// winsim: the storage-stack rig (see storage_rig.h). It plays the PnP manager for one USB stick: builds
// the stacks in the order Windows builds them and takes them down in the order Windows removes them.
#include "winsim/usb/storage_rig.h"

#include "winsim/kernel/pnp_stack.h"
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/usb_misuse.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace winsim::usb
{
namespace
{

// Each host thread without an application identity gets its own, kept for its lifetime.
unsigned ApplicationIndexOfThisThread()
{
    static std::atomic<unsigned> next{1};
    thread_local unsigned index = next.fetch_add(1);
    return index;
}

void Require(bool condition, const std::string& what)
{
    if (!condition)
    {
        throw MisuseError("storage rig: " + what);
    }
}

} // namespace

ScopedApplicationThread::ScopedApplicationThread(unsigned index)
    : identity_(HANDLE(kApplicationProcessId), HANDLE(kApplicationThreadIdBase + 4 * ULONG_PTR(index)))
{
}

StorageRig::StorageRig(StorageRigOptions options) : options_(std::move(options))
{
    usbInstancePath_ = options_.usbInstancePath;
    if (usbInstancePath_.empty())
    {
        char path[64];
        std::snprintf(path, sizeof(path), "USB\\VID_%04X&PID_%04X\\RIG", options_.device.vendorId,
                      options_.device.productId);
        usbInstancePath_.assign(path, path + std::strlen(path));
    }
    Require(!options_.filtered ||
                (static_cast<bool>(options_.filterEntry) && !options_.filterService.empty()),
            "a filtered stack needs the filter's service name and entry routine");
    BuildOrTearDown();
}

StorageRig::~StorageRig()
{
    try
    {
        Teardown();
    }
    catch (const BugCheckError&)
    {
    }
    catch (const std::exception&)
    {
    }
}

void StorageRig::Build()
{
    if (device_ == nullptr)
    {
        device_ = options_.makeDevice ? options_.makeDevice(options_.device)
                                      : std::make_unique<BulkOnlyDevice>(options_.device);
        Require(device_ != nullptr, "the device factory made no device");
    }
    bus_ = std::make_unique<UsbBus>();
    bus_->SetCompletion(options_.completion, options_.completionDelay);
    functionDriver_ = LoadDriver(u"USBSTOR", MassStorageDriverEntry);
    Require(functionDriver_ != nullptr, "the mass-storage function driver did not load");
    SetMassStorageOptions(functionDriver_, options_.massStorage);
    diskDriver_ = LoadDriver(u"disk", DiskClassDriverEntry);
    Require(diskDriver_ != nullptr, "the disk class driver did not load");
    SetDiskClassOptions(diskDriver_, options_.disk);
    if (options_.filtered)
    {
        filterDriver_ = LoadDriver(options_.filterService, options_.filterEntry);
        Require(filterDriver_ != nullptr, "the filter did not load");
    }

    // The USB device node: the filter as its lower filter, the function driver above it.
    usbPdo_ = bus_->AddDevice(*device_);
    SetDeviceInstancePath(usbPdo_, usbInstancePath_);
    StackDrivers usbNode;
    if (filterDriver_ != nullptr)
    {
        usbNode.lowerFilters.push_back(filterDriver_);
    }
    usbNode.function = functionDriver_;
    const BuiltStack usb = BuildDeviceStack(usbPdo_, usbNode, SendPnpPlain);
    Require(usb.outcome != BuiltStack::Outcome::AddDeviceFailed,
            usb.added == usbNode.lowerFilters.size() + 1 ? "the function driver's AddDevice failed"
                                                         : "the filter's AddDevice failed on the USB node");
    usbStarted_ = true;
    usbFdo_ = usb.functionDevice;
    Require(usbFdo_->DriverObject == functionDriver_, "the function driver is not on top of the USB node");
    Require(usb.outcome == BuiltStack::Outcome::Started, "the USB node did not start");

    const std::vector<PDEVICE_OBJECT> children = QueryBusRelations(usbFdo_, SendPnpPlain);
    // The PnP manager's references: the bus driver keeps its own until it deletes a child.
    for (PDEVICE_OBJECT child : children)
    {
        ObfDereferenceObject(child);
    }
    Require(!children.empty(), "the USB node reported no bus relations");
    Require(children.size() == device_->LunCount(), "the bus relations do not list every unit");

    // Each unit's disk node: the disk class driver, the filter as its upper filter, then the start.
    StackDrivers diskNode;
    diskNode.function = diskDriver_;
    if (filterDriver_ != nullptr)
    {
        diskNode.upperFilters.push_back(filterDriver_);
    }
    for (PDEVICE_OBJECT pdo : children)
    {
        Disk disk;
        disk.pdo = pdo;
        disks_.push_back(disk);
        const BuiltStack built = BuildDeviceStack(pdo, diskNode, SendPnpPlain);
        disks_.back().fdo = built.functionDevice;
        Require(built.outcome != BuiltStack::Outcome::AddDeviceFailed,
                built.added == 1 ? "the disk class driver's AddDevice failed"
                                 : "the filter's AddDevice failed on a disk");
        disks_.back().top = IoGetAttachedDevice(pdo);
        Require(built.outcome == BuiltStack::Outcome::Started, "a disk did not start");
    }
    std::lock_guard<std::mutex> guard(lock_);
    active_.assign(disks_.size(), 0);
    restarting_.assign(disks_.size(), false);
}

// A stack that fails to build is taken down again before the failure reaches the caller.
void StorageRig::BuildOrTearDown()
{
    try
    {
        Build();
    }
    catch (...)
    {
        try
        {
            Teardown();
        }
        catch (...)
        {
        }
        throw;
    }
}

PDEVICE_OBJECT StorageRig::UsbTop() const
{
    return usbPdo_ != nullptr ? IoGetAttachedDevice(usbPdo_) : nullptr;
}

PDEVICE_OBJECT StorageRig::DiskPdo(size_t lun) const
{
    Require(lun < disks_.size(), "no such unit");
    return disks_[lun].pdo;
}

PDEVICE_OBJECT StorageRig::DiskTop(size_t lun) const
{
    Require(lun < disks_.size(), "no such unit");
    return disks_[lun].top;
}

PDEVICE_OBJECT StorageRig::DiskFdo(size_t lun) const
{
    Require(lun < disks_.size(), "no such unit");
    return disks_[lun].fdo;
}

IoOutcome StorageRig::Read(size_t lun, void* buffer, ULONG length, ULONGLONG offset,
                           std::chrono::milliseconds timeout)
{
    return Transfer(IRP_MJ_READ, lun, buffer, length, offset, timeout);
}

IoOutcome StorageRig::Write(size_t lun, const void* buffer, ULONG length, ULONGLONG offset,
                            std::chrono::milliseconds timeout)
{
    return Transfer(IRP_MJ_WRITE, lun, const_cast<void*>(buffer), length, offset, timeout);
}

// An application's read or write: an IRP with a locked MDL over the caller's buffer, as the I/O manager
// builds it for a device with direct I/O.
IoOutcome StorageRig::Transfer(UCHAR major, size_t lun, void* buffer, ULONG length, ULONGLONG offset,
                               std::chrono::milliseconds timeout)
{
    PDEVICE_OBJECT top = nullptr;
    {
        std::unique_lock<std::mutex> guard(lock_);
        idle_.wait(guard, [&] { return removing_ || lun >= restarting_.size() || !restarting_[lun]; });
        if (removing_)
        {
            return IoOutcome{STATUS_DEVICE_NOT_CONNECTED, 0};
        }
        Require(lun < disks_.size(), "no such unit");
        top = disks_[lun].top;
        if (top == nullptr)
        {
            return IoOutcome{STATUS_NO_SUCH_DEVICE, 0}; // its disk node did not come back
        }
        ++dispatching_;
        ++active_[lun];
    }
    const auto dispatched = [this] {
        std::lock_guard<std::mutex> guard(lock_);
        --dispatching_;
        idle_.notify_all();
    };
    struct Finished
    {
        StorageRig* rig;
        size_t lun;
        ~Finished()
        {
            std::lock_guard<std::mutex> guard(rig->lock_);
            --rig->active_[lun];
            rig->idle_.notify_all();
        }
    } finished{this, lun};
    std::optional<ScopedThreadIdentity> identity;
    if (ULONG_PTR(PsGetCurrentThreadId()) < kApplicationThreadIdBase)
    {
        identity.emplace(HANDLE(kApplicationProcessId),
                         HANDLE(kApplicationThreadIdBase + 4 * ULONG_PTR(ApplicationIndexOfThisThread())));
    }
    PMDL mdl = nullptr;
    if (buffer != nullptr && length != 0)
    {
        mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        if (mdl == nullptr)
        {
            dispatched();
            return IoOutcome{STATUS_INSUFFICIENT_RESOURCES, 0};
        }
        MmProbeAndLockPages(mdl, UserMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
    }
    IrpRequest request;
    request.major = major;
    request.initialStatus = STATUS_SUCCESS;
    request.userBuffer = buffer;
    request.mdl = mdl;
    request.setup = [length, offset](PIO_STACK_LOCATION sp) {
        sp->Parameters.Read.Length = length;
        sp->Parameters.Read.ByteOffset.QuadPart = LONGLONG(offset);
    };
    std::shared_ptr<IrpInFlight> flight;
    try
    {
        flight = StartIrp(top, request);
    }
    catch (const std::runtime_error&)
    {
        // No IRP (pool exhausted): the request fails as the I/O manager fails it.
        dispatched();
        if (mdl != nullptr)
        {
            MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        }
        return IoOutcome{STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    dispatched();
    const IrpResult result = flight->Wait(timeout);
    if (mdl != nullptr)
    {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    return IoOutcome{result.status, result.information};
}

// No new request reaches a stack from here on, and none is still inside a dispatch routine.
void StorageRig::StopDispatching()
{
    std::unique_lock<std::mutex> guard(lock_);
    removing_ = true;
    idle_.wait(guard, [this] { return dispatching_ == 0; });
}

void StorageRig::RemoveStacks(bool surprise)
{
    if (surprise)
    {
        for (const Disk& disk : disks_)
        {
            if (disk.top != nullptr)
            {
                SendPnp(disk.top, IRP_MN_SURPRISE_REMOVAL);
            }
        }
        if (usbPdo_ != nullptr && usbPdo_->AttachedDevice != nullptr)
        {
            SendPnp(UsbTop(), IRP_MN_SURPRISE_REMOVAL);
        }
    }
    for (const Disk& disk : disks_)
    {
        PDEVICE_OBJECT top = IoGetAttachedDevice(disk.pdo);
        if (top == disk.pdo)
        {
            continue; // nothing was attached
        }
        if (!surprise)
        {
            SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE);
        }
        SendPnp(top, IRP_MN_REMOVE_DEVICE);
    }
    // The list stays (LunCount() still answers); its device pointers are stale from here on.
    if (usbPdo_ != nullptr)
    {
        if (usbPdo_->AttachedDevice != nullptr)
        {
            if (!surprise && usbStarted_)
            {
                SendPnp(UsbTop(), IRP_MN_QUERY_REMOVE_DEVICE);
            }
            SendPnp(UsbTop(), IRP_MN_REMOVE_DEVICE);
        }
        bus_->RemoveDevice(usbPdo_);
        usbPdo_ = nullptr;
        usbFdo_ = nullptr;
    }
}

void StorageRig::UnloadDrivers()
{
    if (filterDriver_ != nullptr)
    {
        UnloadDriver(std::exchange(filterDriver_, nullptr));
    }
    if (diskDriver_ != nullptr)
    {
        UnloadDriver(std::exchange(diskDriver_, nullptr));
    }
    if (functionDriver_ != nullptr)
    {
        UnloadDriver(std::exchange(functionDriver_, nullptr));
    }
    bus_.reset();
}

void StorageRig::SurpriseRemove()
{
    if (tornDown_)
    {
        return;
    }
    tornDown_ = true;
    if (device_ != nullptr)
    {
        device_->Unplug(); // requests inside a dispatch routine now fail fast
    }
    StopDispatching();
    RemoveStacks(true);
    UnloadDrivers();
}

void StorageRig::Restart(bool filtered)
{
    Require(!filtered || (static_cast<bool>(options_.filterEntry) && !options_.filterService.empty()),
            "a filtered stack needs the filter's service name and entry routine");
    Require(device_ != nullptr && !device_->Gone(), "the device has left the bus");
    Teardown();
    options_.filtered = filtered;
    disks_.clear();
    usbStarted_ = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        removing_ = false;
    }
    tornDown_ = false;
    BuildOrTearDown();
}

size_t StorageRig::RequeryBusRelations()
{
    std::lock_guard<std::mutex> pnp(pnpLock_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (removing_ || usbFdo_ == nullptr)
        {
            return 0;
        }
        ++dispatching_;
    }
    const std::vector<PDEVICE_OBJECT> children = QueryBusRelations(usbFdo_, SendPnpPlain);
    for (PDEVICE_OBJECT child : children)
    {
        ObfDereferenceObject(child);
    }
    std::lock_guard<std::mutex> guard(lock_);
    --dispatching_;
    idle_.notify_all();
    return children.size();
}

NTSTATUS StorageRig::RestartDisk(size_t lun)
{
    std::lock_guard<std::mutex> pnp(pnpLock_);
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::unique_lock<std::mutex> guard(lock_);
        if (removing_)
        {
            return STATUS_DEVICE_NOT_CONNECTED;
        }
        Require(lun < disks_.size(), "no such unit");
        restarting_[lun] = true;
        ++dispatching_;
        idle_.wait(guard, [&] { return active_[lun] == 0; });
        pdo = disks_[lun].pdo;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE);
    SendPnp(top, IRP_MN_REMOVE_DEVICE);
    StackDrivers diskNode;
    diskNode.function = diskDriver_;
    if (filterDriver_ != nullptr)
    {
        diskNode.upperFilters.push_back(filterDriver_);
    }
    const BuiltStack built = BuildDeviceStack(pdo, diskNode, SendPnpPlain);
    const bool started = built.outcome == BuiltStack::Outcome::Started;
    {
        std::lock_guard<std::mutex> guard(lock_);
        disks_[lun].fdo = built.functionDevice;
        disks_[lun].top = started ? IoGetAttachedDevice(pdo) : nullptr;
        restarting_[lun] = false;
        --dispatching_;
        idle_.notify_all();
    }
    if (started)
    {
        return STATUS_SUCCESS;
    }
    return NT_SUCCESS(built.status) ? STATUS_UNSUCCESSFUL : built.status;
}

std::vector<ThreadIdentity> InterruptedThreadIdentities()
{
    std::vector<ThreadIdentity> identities;
    for (ULONG_PTR index = 0; index < 8; ++index)
    {
        identities.push_back({HANDLE(kApplicationProcessId), HANDLE(kApplicationThreadIdBase + 4 * index)});
    }
    identities.push_back({HANDLE(kApplicationProcessId + 0x1000), HANDLE(kApplicationThreadIdBase + 0x400)});
    identities.push_back({HANDLE(ULONG_PTR(4)), HANDLE(ULONG_PTR(0x4C))});
    identities.push_back({HANDLE(ULONG_PTR(4)), HANDLE(ULONG_PTR(0x88))});
    return identities;
}

void StorageRig::Teardown()
{
    if (tornDown_)
    {
        return;
    }
    tornDown_ = true;
    StopDispatching();
    RemoveStacks(false);
    UnloadDrivers();
}

} // namespace winsim::usb
