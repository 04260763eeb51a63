// winsim: one simulated USB stick with its whole Windows storage stack, built the way the PnP manager
// builds it, without the simulated PC around it. The rig loads the mass-storage function driver, the disk
// class driver and (when filtered) the filter whose entry routine it is given; creates the USB device's
// PDO on a UsbBus; calls AddDevice in stack order (the filter first, as a lower filter of the USB node,
// then the function driver); starts the USB stack, asks it for its bus relations, and for every unit's
// child PDO calls AddDevice for the disk class driver and then the filter (as an upper filter), and starts
// that stack. Teardown removes the disk stacks and then the USB stack and unloads every driver.
//
// I/O goes to a unit's top device as an application's request would: an IRP with an MDL over the
// caller's buffer, from any thread. The filter tells application requests apart from the system's by
// process and thread id, so a calling thread that has no application identity of its own is given one
// (process kApplicationProcessId, a thread id from kApplicationThreadIdBase up) for the request; system
// threads and the DPC thread have smaller ids.
//
// What it checks: a stack that does not build (a driver fails to load, AddDevice or start fails, the
// relations miss a unit) throws MisuseError; the destructor tears down whatever was built.
#pragma once

#include "winsim/usb/bot_device.h"
#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/mass_storage_driver.h"
#include "winsim/usb/usb_bus_pdo.h"

#include "winsim/kernel/winsim_kernel.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <string>
#include <mutex>
#include <vector>

namespace winsim::usb
{

constexpr ULONG_PTR kApplicationProcessId = 0x1000;
constexpr ULONG_PTR kApplicationThreadIdBase = 0x10000;

// Application and system thread identities for SetDpcInterruptedThreads: the application threads the rig
// gives (indexes 0 to 7), another application's thread, and system threads.
std::vector<ThreadIdentity> InterruptedThreadIdentities();

// Gives the calling thread an application identity (process kApplicationProcessId, thread
// kApplicationThreadIdBase + 4 * index) for its lifetime.
class ScopedApplicationThread
{
public:
    explicit ScopedApplicationThread(unsigned index);

private:
    ScopedThreadIdentity identity_;
};

struct StorageRigOptions
{
    DeviceConfig device;
    UrbCompletion completion = UrbCompletion::Inline;
    std::chrono::microseconds completionDelay{0}; // Deferred: how long each URB waits on the DPC thread
    bool filtered = false;
    // Required when filtered: the service the filter is loaded as, and its entry routine.
    std::u16string filterService;
    DriverEntryRoutine filterEntry;
    // The disk class driver's options; disk.mediaPollInterval makes it poll the units' media as Windows
    // does, which adds TEST UNIT READY commands to those of the requests.
    DiskClassOptions disk;
    MassStorageOptions massStorage;
    // The USB node's device instance path, under which its hardware key lives (what the filter writes
    // there outlives the rig's restarts, as the registry outlives a stack); empty: made from the device's
    // vendor and product IDs.
    std::u16string usbInstancePath;
    // Builds the device from `device` instead of the Bulk-Only device itself: a device that answers in
    // its own way (a hostile one for the fuzzer).
    std::function<std::unique_ptr<BulkOnlyDevice>(const DeviceConfig&)> makeDevice;
};

struct IoOutcome
{
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

class StorageRig
{
public:
    explicit StorageRig(StorageRigOptions options);
    ~StorageRig(); // Teardown(), swallowing a bug check so that a failed test can still report
    StorageRig(const StorageRig&) = delete;
    StorageRig& operator=(const StorageRig&) = delete;

    BulkOnlyDevice& Device() { return *device_; }
    UsbBus& Bus() { return *bus_; }
    PDEVICE_OBJECT UsbPdo() const { return usbPdo_; }
    const std::u16string& UsbInstancePath() const { return usbInstancePath_; }
    PDEVICE_OBJECT UsbTop() const; // the top of the USB node's stack (the function driver's device)
    PDEVICE_OBJECT FunctionDevice() const { return usbFdo_; }
    // The device objects below are valid until the rig is torn down.
    size_t LunCount() const { return disks_.size(); }
    PDEVICE_OBJECT DiskPdo(size_t lun) const;
    PDEVICE_OBJECT DiskTop(size_t lun) const; // the filter's device when filtered, else the disk class's
    PDEVICE_OBJECT DiskFdo(size_t lun) const; // the disk class driver's device
    PDRIVER_OBJECT FunctionDriver() const { return functionDriver_; }
    PDRIVER_OBJECT DiskDriver() const { return diskDriver_; }
    PDRIVER_OBJECT FilterDriver() const { return filterDriver_; } // null when not filtered
    bool Filtered() const { return filterDriver_ != nullptr; }

    // A read or write of `length` bytes at byte `offset` of the unit, waited for (up to `timeout`).
    IoOutcome Read(size_t lun, void* buffer, ULONG length, ULONGLONG offset,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));
    IoOutcome Write(size_t lun, const void* buffer, ULONG length, ULONGLONG offset,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // The device leaves the bus: it is unplugged, every stack gets IRP_MN_SURPRISE_REMOVAL (disks first)
    // and then IRP_MN_REMOVE_DEVICE, the PDO goes, the drivers are unloaded. Requests still in flight
    // complete with an error; Read/Write afterwards fail with STATUS_DEVICE_NOT_CONNECTED.
    void SurpriseRemove();
    // Orderly removal of the disk stacks, then the USB stack, then unloading; idempotent.
    void Teardown();
    // Takes the stacks down in order and builds them again, with or without the filter, over the same
    // device and its data: what Kavset's restart of the device does. Not while requests are being sent.
    void Restart(bool filtered);

    // PnP work that Windows does while I/O runs; both may be called from any thread during Read/Write.
    // The PnP manager asks the USB node for its bus relations again (a scan for hardware changes) and
    // returns how many units it reported.
    size_t RequeryBusRelations();
    // The unit's disk node is removed and built again over the same child PDO (a restart of the disk
    // device). Requests to that unit wait while it restarts; the unit's requests in flight end first.
    // A stack that does not come back (an AddDevice or the start failed: a driver's fault, not the
    // rig's) is reported by its status; its unit then fails every request with STATUS_NO_SUCH_DEVICE.
    NTSTATUS RestartDisk(size_t lun);
    bool TornDown() const { return tornDown_; }

private:
    IoOutcome Transfer(UCHAR major, size_t lun, void* buffer, ULONG length, ULONGLONG offset,
                       std::chrono::milliseconds timeout);
    void Build();
    void BuildOrTearDown();
    void StopDispatching();
    void RemoveStacks(bool surprise);
    void UnloadDrivers();

    struct Disk
    {
        PDEVICE_OBJECT pdo = nullptr;
        PDEVICE_OBJECT fdo = nullptr;
        PDEVICE_OBJECT top = nullptr;
    };

    StorageRigOptions options_;
    std::unique_ptr<BulkOnlyDevice> device_;
    std::unique_ptr<UsbBus> bus_;
    PDRIVER_OBJECT functionDriver_ = nullptr;
    PDRIVER_OBJECT diskDriver_ = nullptr;
    PDRIVER_OBJECT filterDriver_ = nullptr;
    PDEVICE_OBJECT usbPdo_ = nullptr;
    PDEVICE_OBJECT usbFdo_ = nullptr;
    std::u16string usbInstancePath_;
    std::vector<Disk> disks_;
    bool usbStarted_ = false;
    bool tornDown_ = false;
    std::mutex lock_; // guards removing_, dispatching_, active_, restarting_ and the disks' devices
    std::condition_variable idle_;
    bool removing_ = false;
    size_t dispatching_ = 0;       // requests inside IofCallDriver on a disk stack, and PnP work running
    std::vector<size_t> active_;   // per unit: requests between their dispatch and their completion
    std::vector<bool> restarting_; // per unit: its disk node is being restarted
    std::mutex pnpLock_;           // the PnP manager does one thing at a time
};

} // namespace winsim::usb
