// A simulated PC with USB storage devices and the PnP manager over it, with the storage driver models
// and Kavfiltr registered as the images of their services. Every test starts from a fresh kernel; the
// manager is shut down before the kernel is reset, and shutting down unloads every driver, which bug
// checks on any device, pool block or thread a driver left behind.
//
// PassFilter is a plain pass-through filter driver for the cases Kavfiltr and the storage models never
// produce: an AddDevice or a start that fails, a driver that stays attached after removal.
#pragma once

#include "kavfiltr.h"

#include <kernel/winsim_kernel.h>
#include <machine.h>
#include <machine_json.h>
#include <setupapi.h>
#include <pnp_manager.h>
#include <usb/storage_rig.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace pnptest
{

namespace wm = winsim::machine;

// ---- A pass-through filter whose failures the test chooses --------------------------------------------
struct PassFilterKnobs
{
    std::atomic<bool> failAddDevice{false};
    std::atomic<bool> failStart{false};
    std::atomic<bool> stayOnRemove{false}; // passes the removal on but never detaches
};

inline PassFilterKnobs& Knobs()
{
    static PassFilterKnobs knobs;
    return knobs;
}

inline void ResetKnobs()
{
    Knobs().failAddDevice = false;
    Knobs().failStart = false;
    Knobs().stayOnRemove = false;
}

struct PassFilterExtension
{
    PDEVICE_OBJECT lower;
};

// Passes everything down; fails start on demand, and leaves on remove unless told to stay.
inline NTSTATUS PassFilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = static_cast<PassFilterExtension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_PNP)
    {
        if (sp->MinorFunction == IRP_MN_START_DEVICE && Knobs().failStart)
        {
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE && !Knobs().stayOnRemove)
        {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IofCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE)
            irp->IoStatus.Status = STATUS_SUCCESS;
    }
    if (sp->MajorFunction == IRP_MJ_POWER)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

inline NTSTATUS PassFilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (Knobs().failAddDevice)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PassFilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    static_cast<PassFilterExtension*>(device->DeviceExtension)->lower = lower;
    device->Flags |= lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS PassFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
        routine = PassFilterDispatch;
    driver->DriverExtension->AddDevice = PassFilterAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// ---- The machine ----------------------------------------------------------------------------------------
// A kernel service as the service control manager lists it.
inline wm::Service Installed(const wm::WString& name, DWORD start = 3)
{
    wm::Service service;
    service.name = name;
    service.start = start;
    return service;
}

inline std::vector<wm::WString> Services(std::initializer_list<const char16_t*> names)
{
    return std::vector<wm::WString>(names.begin(), names.end());
}

class PnpTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ResetKnobs();
        wm::ControllerParams controller;
        controller.instanceId = u"PCI\\VEN_8086&DEV_1C26&SUBSYS_04A31028&REV_05\\3&11583659&0&E8";
        hub_ = machine_.AddHostController(controller).rootHub;
        for (const char16_t* name : {u"USBSTOR", u"disk", u"Kavfiltr", u"usbehci", u"usbhub"})
            machine_.AddService(Installed(name));
        pnp_ = std::make_unique<wm::PnpManager>(machine_);
        pnp_->RegisterStorageDrivers();
        pnp_->RegisterDriver(u"Kavfiltr", DriverEntry);
        pnp_->RegisterDriver(u"PassFilt", PassFilterEntry);
    }

    void TearDown() override
    {
        if (pnp_)
        {
            pnp_->Shutdown();
            ExpectNothingLeft();
            pnp_.reset();
        }
    }

    // A stick (or card reader) on root-hub port `port` with one unit per size.
    wm::UsbDevice& AddStick(ULONG port, std::vector<uint64_t> lunSizes = {8ull << 20})
    {
        wm::UsbDeviceParams params;
        params.vendorId = 0x3A7E;
        params.productId = 0x1201;
        params.serialNumber = u"KAV" + std::u16string(1, char16_t(u'0' + port));
        wm::UsbDevice& device = machine_.AttachDevice(*hub_, port, params);
        for (uint64_t size : lunSizes)
        {
            wm::LunParams lun;
            lun.sizeBytes = size;
            machine_.AddLun(device, lun);
        }
        return device;
    }

    // Kavfiltr below the function driver of the USB node and above the disk class of every disk.
    static void EnableFilter(wm::UsbDevice& device, const wm::WString& service = u"Kavfiltr")
    {
        device.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {service});
        for (const auto& lun : device.luns)
            lun->disk->SetMultiString(CM_DRP_UPPERFILTERS, {service});
    }

    static void DisableFilter(wm::UsbDevice& device)
    {
        device.devNode->RemoveProperty(CM_DRP_LOWERFILTERS);
        for (const auto& lun : device.luns)
            lun->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
    }

    // Status and problem as a user-mode program reads them.
    ULONG Problem(const wm::DevNode& node)
    {
        wm::ScopedMachine installed(machine_);
        ULONG status = 0;
        ULONG problem = 0;
        EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, node.handle, 0), CR_SUCCESS);
        EXPECT_EQ((status & DN_HAS_PROBLEM) != 0, problem != 0);
        EXPECT_EQ((status & DN_STARTED) != 0, problem == 0);
        return problem;
    }

    static std::vector<unsigned char> Pattern(size_t length, unsigned seed)
    {
        std::vector<unsigned char> data(length);
        for (size_t i = 0; i < length; ++i)
            data[i] = static_cast<unsigned char>((i * 131 + seed * 29 + (i >> 9)) & 0xFF);
        return data;
    }

    // A write and a read back through the top of a unit's disk stack, from an application thread.
    void RoundTrip(const wm::UsbLun& lun, LONGLONG offset, ULONG length, unsigned seed)
    {
        winsim::usb::ScopedApplicationThread application(0);
        PDEVICE_OBJECT top = pnp_->DiskTop(lun);
        ASSERT_NE(top, nullptr);
        std::vector<unsigned char> data = Pattern(length, seed);
        winsim::IrpResult written = winsim::SendWrite(top, data.data(), length, offset);
        ASSERT_EQ(written.status, STATUS_SUCCESS);
        EXPECT_EQ(written.information, length);
        std::vector<unsigned char> back(length, 0xEE);
        winsim::IrpResult read = winsim::SendRead(top, back.data(), length, offset);
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.information, length);
        EXPECT_TRUE(back == data) << "data read back differs at offset " << offset;
    }

    // What the medium itself holds, behind every cache.
    std::vector<unsigned char> Medium(const wm::UsbDevice& device, unsigned lun, uint64_t offset,
                                      size_t length)
    {
        std::vector<unsigned char> data(length);
        pnp_->DeviceModel(device)->ReadMedium(uint8_t(lun), offset, data.data(), length);
        return data;
    }

    void ExpectNothingLeft()
    {
        for (const char16_t* service : {u"USBSTOR", u"disk", u"Kavfiltr", u"PassFilt"})
            EXPECT_EQ(pnp_->LoadedDriver(service), nullptr) << wm::Narrow(service) << " is still loaded";
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
        EXPECT_EQ(winsim::OpenHandleCount(), 0u);
        EXPECT_EQ(winsim::RunningSystemThreads(), 0u);
        EXPECT_EQ(winsim::OutstandingIrps(), 0u);
    }

    winsim::ScopedKernel kernel_;
    wm::Machine machine_;
    wm::Hub* hub_ = nullptr;
    std::unique_ptr<wm::PnpManager> pnp_;
};

} // namespace pnptest
