// A simulated PC with USB storage devices and the PnP manager over it, with the storage driver models
// and Kavfiltr registered as the images of their services. Every test starts from a fresh kernel; the
// manager is shut down before the kernel is reset, and shutting down unloads every driver, which bug
// checks on any device, pool block or thread a driver left behind.
#pragma once

#include "driver/kavfiltr_public.h"
#include "regtool/FilterList.h"
#include "tests/support/pass_filter.h"
#include "tests/support/patterns.h"

#include "winsim/kernel/winsim_kernel.h"
#include "winsim/machine/machine.h"
#include "winsim/machine/machine_json.h"
#include <setupapi.h>
#include "winsim/machine/pnp_manager.h"
#include "winsim/usb/storage_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

namespace kavtest
{

namespace wm = winsim::machine;

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
        {
            machine_.AddService(Installed(name));
        }
        pnp_ = std::make_unique<wm::PnpManager>(machine_);
        pnp_->RegisterStorageDrivers();
        pnp_->RegisterDriver(KAVFILTR_SERVICE_NAME, DriverEntry);
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

    // A one-unit stick whose unit carries a volume with the drive letter.
    wm::UsbDevice& AddStickWithVolume(ULONG port, const wm::WString& serial, WCHAR letter)
    {
        wm::UsbDeviceParams params;
        params.vendorId = 0x3A7E;
        params.productId = 0x1201;
        params.serialNumber = serial;
        wm::UsbDevice& stick = machine_.AttachDevice(*hub_, port, params);
        wm::LunParams lun;
        lun.sizeBytes = 8ull << 20;
        lun.letters = {letter};
        machine_.AddLun(stick, lun);
        return stick;
    }

    // A filter (Kavfiltr unless named) below the function driver of the USB node and above the disk class
    // of every disk, put into the lists by the registration tool's own list editing.
    void EnableFilter(wm::UsbDevice& device, const wm::WString& service = KAVFILTR_SERVICE_NAME)
    {
        wm::ScopedMachine installed(machine_);
        ASSERT_TRUE(Kavelor::AddDevNodeListEntry(device.devNode->handle, CM_DRP_LOWERFILTERS, service));
        for (const auto& lun : device.luns)
        {
            ASSERT_TRUE(Kavelor::AddDevNodeListEntry(lun->disk->handle, CM_DRP_UPPERFILTERS, service));
        }
    }

    // The filter out of both lists of the device (the disks' too, which Kavset itself leaves).
    void DisableFilter(wm::UsbDevice& device, const wm::WString& service = KAVFILTR_SERVICE_NAME)
    {
        wm::ScopedMachine installed(machine_);
        ASSERT_TRUE(Kavelor::RemoveDevNodeListEntry(device.devNode->handle, CM_DRP_LOWERFILTERS, service));
        for (const auto& lun : device.luns)
        {
            ASSERT_TRUE(Kavelor::RemoveDevNodeListEntry(lun->disk->handle, CM_DRP_UPPERFILTERS, service));
        }
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
        {
            EXPECT_EQ(pnp_->LoadedDriver(service), nullptr) << wm::Narrow(service) << " is still loaded";
        }
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

} // namespace kavtest
