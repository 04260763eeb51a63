// A minimal filter driver for the kernel simulation's tests: its dispatch routine is whatever the test
// installs, and each filter device remembers the device it is attached to.
#pragma once

#include "winsim/kernel/winsim_kernel.h"

#include <gtest/gtest.h>

#include <functional>

namespace kavtest
{

struct Extension
{
    PDEVICE_OBJECT lower;
};

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

inline Dispatch& CurrentDispatch()
{
    static Dispatch dispatch;
    return dispatch;
}

inline PDEVICE_OBJECT Lower(PDEVICE_OBJECT device)
{
    return static_cast<Extension*>(device->DeviceExtension)->lower;
}

inline NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return CurrentDispatch()(device, irp);
}

inline NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = FilterDispatch;
    }
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

// Creates a filter device of `driver` on top of the stack of `pdo`.
inline PDEVICE_OBJECT Attach(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    static_cast<Extension*>(device->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

inline void Detach(PDEVICE_OBJECT device)
{
    IoDetachDevice(Lower(device));
    IoDeleteDevice(device);
}

// Pass-through in the plainest form: skip the location and return what the lower driver returns.
inline NTSTATUS SkipAndCall(PDEVICE_OBJECT device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(Lower(device), irp);
}

// Fixture: a fresh kernel, a simple bus with one PDO and the test filter attached on top of it.
class FilterTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CurrentDispatch() = SkipAndCall;
        bus = std::make_unique<winsim::SimpleBus>();
        pdo = bus->CreatePdo(u"USB");
        driver = winsim::LoadDriver(u"TestFilter", FilterEntry);
        filter = Attach(driver, pdo);
    }

    void TearDown() override
    {
        CurrentDispatch() = nullptr;
        bus.reset();
    }

    winsim::ScopedKernel kernel;
    std::unique_ptr<winsim::SimpleBus> bus;
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT filter = nullptr;
};

} // namespace kavtest
