// Kavfiltr loaded on the simulated kernel, with a simple bus underneath whose PDOs act as the lower
// drivers. Every test starts from a fresh kernel and ends by unloading the driver, which bug-checks when a
// device object, a pool block or a system thread of the driver is left behind.
#pragma once

#include "driver/kavfiltr.h"

#include "winsim/kernel/winsim_kernel.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kavtest
{

class KavfiltrTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus_ = std::make_unique<winsim::SimpleBus>();
        driver_ = winsim::LoadDriver(KAVFILTR_SERVICE_NAME, DriverEntry);
        ASSERT_NE(driver_, nullptr);
    }

    void TearDown() override
    {
        for (PDEVICE_OBJECT filter : attached_)
        {
            if (IsAlive(filter))
            {
                winsim::SendPnp(filter, IRP_MN_REMOVE_DEVICE);
            }
        }
        winsim::UnloadDriver(driver_);
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
        bus_.reset();
    }

    // A PDO of the given enumerator with Kavfiltr's AddDevice called for it; the filter device or null.
    PDEVICE_OBJECT AddFilter(const std::u16string& enumerator, NTSTATUS expected = STATUS_SUCCESS)
    {
        PDEVICE_OBJECT pdo = bus_->CreatePdo(enumerator);
        return AddFilterTo(pdo, expected);
    }

    PDEVICE_OBJECT AddFilterTo(PDEVICE_OBJECT pdo, NTSTATUS expected = STATUS_SUCCESS)
    {
        PDEVICE_OBJECT before = pdo->AttachedDevice;
        EXPECT_EQ(winsim::CallAddDevice(driver_, pdo), expected);
        PDEVICE_OBJECT filter = pdo->AttachedDevice != before ? pdo->AttachedDevice : nullptr;
        if (filter != nullptr)
        {
            attached_.push_back(filter);
        }
        return filter;
    }

    // A USB-side filter whose bus relations name the given children.
    PDEVICE_OBJECT AddUsbFilterWithChildren(const std::vector<PDEVICE_OBJECT>& children)
    {
        PDEVICE_OBJECT usbPdo = bus_->CreatePdo(u"USB");
        PDEVICE_OBJECT filter = AddFilterTo(usbPdo);
        bus_->SetBusRelations(usbPdo, children);
        winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        });
        return filter;
    }

    // A read or write sent to `target` and held by the simple bus below until ReleaseHeld, so that it stays
    // in flight as long as the test needs.
    std::shared_ptr<winsim::IrpInFlight> StartHeld(PDEVICE_OBJECT target, UCHAR major, ULONG length,
                                                   LONGLONG offset, PVOID buffer)
    {
        winsim::CompletionRule hold;
        hold.mode = winsim::CompletionMode::Hold;
        bus_->QueueRule(hold);
        winsim::IrpRequest request;
        request.major = major;
        request.userBuffer = buffer;
        request.setup = [length, offset](PIO_STACK_LOCATION stack) {
            stack->Parameters.Write.Length = length;
            stack->Parameters.Write.ByteOffset.QuadPart = offset;
        };
        return winsim::StartIrp(target, request);
    }

    bool IsAlive(PDEVICE_OBJECT device) const
    {
        for (PDEVICE_OBJECT candidate = driver_->DeviceObject; candidate != nullptr;
             candidate = candidate->NextDevice)
        {
            if (candidate == device)
            {
                return true;
            }
        }
        return false;
    }

    static FilterExtension* Extension(PDEVICE_OBJECT filter)
    {
        return static_cast<FilterExtension*>(filter->DeviceExtension);
    }

    static UsbFilterExtension* UsbExtension(PDEVICE_OBJECT filter)
    {
        return static_cast<UsbFilterExtension*>(filter->DeviceExtension);
    }

    static DiskFilterExtension* DiskExtension(PDEVICE_OBJECT filter)
    {
        return static_cast<DiskFilterExtension*>(filter->DeviceExtension);
    }

    winsim::ScopedKernel kernel_;
    std::unique_ptr<winsim::SimpleBus> bus_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> attached_;
};

} // namespace kavtest
