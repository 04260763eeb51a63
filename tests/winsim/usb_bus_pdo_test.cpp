// The bus PDO that executes URBs against the simulated mass-storage device: descriptors and
// configuration, Bulk-Only exchanges by buffer and by MDL, inline and deferred completion, host-side
// halts and pipe resets, NAKed transfers and aborts, class requests, malformed requests, and interfaces
// with other pipes than the usual three.
#include "tests/support/usb_test_host.h"

#include "winsim/usb/usb_bus_pdo.h"

#include "winsim/kernel/winsim_kernel.h"
#include <usbdrivr.h>

#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

class BusPdo : public ::testing::Test
{
protected:
    ScopedKernel kernel_;
    BulkOnlyDevice device_{OneLun()};
    UsbBus bus_;
    PDEVICE_OBJECT pdo_ = bus_.AddDevice(device_);
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
    USBD_PIPE_HANDLE interrupt_ = nullptr;

    NTSTATUS Submit(URB& urb)
    {
        return SendInternalDeviceControl(pdo_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status;
    }

    void Configure()
    {
        USB_CONFIGURATION_DESCRIPTOR descriptor{};
        const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3);
        std::vector<uint8_t> storage(std::max(size, sizeof(URB)), 0);
        auto* urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectConfigurationRequest(urb, USHORT(size), &descriptor);
        urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(3);
        ASSERT_EQ(Submit(*urb), STATUS_SUCCESS);
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
        ASSERT_EQ(info.NumberOfPipes, 3u);
        EXPECT_EQ(info.Class, 0x08);
        EXPECT_EQ(info.Protocol, 0x50);
        for (ULONG i = 0; i < info.NumberOfPipes; ++i)
        {
            const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
            if (pipe.PipeType == UsbdPipeTypeInterrupt)
            {
                interrupt_ = pipe.PipeHandle;
            }
            else if (pipe.EndpointAddress & 0x80)
            {
                in_ = pipe.PipeHandle;
            }
            else
            {
                out_ = pipe.PipeHandle;
            }
        }
        ASSERT_TRUE(in_ && out_ && interrupt_);
    }

    static URB Bulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags, PMDL mdl = nullptr)
    {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               mdl ? nullptr : buffer, mdl, length, flags, nullptr);
        return urb;
    }

    static URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
    {
        URB urb{};
        urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        urb.UrbHeader.Function = function;
        urb.UrbPipeRequest.PipeHandle = pipe;
        return urb;
    }

    URB SendCbw(const std::vector<uint8_t>& cdb, uint32_t length, bool in, CommandBlockWrapper& cbw)
    {
        cbw = MakeCbw(0x55, length, in, 0, cdb.data(), uint8_t(cdb.size()));
        URB urb = Bulk(out_, &cbw, kCbwLength, 0);
        EXPECT_EQ(Submit(urb), STATUS_SUCCESS);
        return urb;
    }
};

TEST_F(BusPdo, DescriptorsConfigurationAndAnExchangeByBufferAndMdl)
{
    uint8_t descriptor[64] = {};
    URB get{};
    UsbBuildGetDescriptorRequest(&get, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0,
                                 0, descriptor, nullptr, sizeof descriptor, nullptr);
    ASSERT_EQ(Submit(get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(reinterpret_cast<USB_DEVICE_DESCRIPTOR*>(descriptor)->idVendor, device_.Config().vendorId);
    UsbBuildGetDescriptorRequest(&get, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                                 sizeof descriptor, nullptr);
    ASSERT_EQ(Submit(get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 9u + 9u + 3 * 7u);

    Configure();
    CommandBlockWrapper cbw;
    SendCbw(Cdb6(scsi::kInquiry, 36), 36, true, cbw);
    std::vector<uint8_t> data(36, 0);
    PMDL mdl = IoAllocateMdl(data.data(), 36, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    // No direction flag: the pipe decides, as on the platform.
    URB in = Bulk(in_, nullptr, 36, USBD_SHORT_TRANSFER_OK, mdl);
    EXPECT_EQ(Submit(in), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 36u);
    EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 14), "KAVLAB");

    uint8_t csw[kCswLength] = {};
    URB status = Bulk(in_, csw, kCswLength, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(status), STATUS_SUCCESS);
    EXPECT_EQ(ReadLe32(csw + 4), 0x55u);
    EXPECT_EQ(csw[12], 0);
    EXPECT_EQ(bus_.UrbCount(pdo_, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 3u);
}

// Deferred URBs run and complete on the DPC thread at DISPATCH_LEVEL, as a host controller's DPC.
TEST_F(BusPdo, DeferredCompletionAtDispatchLevelOnAnotherThread)
{
    Configure();
    bus_.SetCompletion(UrbCompletion::Deferred);
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
    device_.SetTransferHook([&](Pipe, uint32_t) {
        irql = KeGetCurrentIrql();
        thread = std::this_thread::get_id();
    });
    CommandBlockWrapper cbw = MakeCbw(1, 0, false, 0, Cdb6(scsi::kTestUnitReady).data(), 6);
    URB urb = Bulk(out_, &cbw, kCbwLength, 0);
    IrpRequest request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.setup = [&urb](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = &urb;
    };
    const IrpResult result = SendIrp(pdo_, request);
    EXPECT_EQ(result.dispatchStatus, STATUS_PENDING);
    EXPECT_TRUE(result.pendingReturned);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(irql, DISPATCH_LEVEL);
    EXPECT_NE(thread, std::this_thread::get_id());
    device_.SetTransferHook(nullptr);
}

// A stall halts the pipe on both sides: the host side refuses transfers until the client resets the
// pipe, which also clears the device's halt.
TEST_F(BusPdo, StallHaltsThePipeUntilReset)
{
    Configure();
    CommandBlockWrapper cbw;
    SendCbw(Cdb6(scsi::kTestUnitReady), 512, true, cbw);
    std::vector<uint8_t> data(512);
    URB in = Bulk(in_, data.data(), 512, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(Submit(in), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_STALL_PID);

    uint8_t csw[kCswLength] = {};
    URB status = Bulk(in_, csw, kCswLength, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(status), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(status.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(device_.Counters().transfers, 2u); // the halted pipe never reached the device

    URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, in_);
    EXPECT_EQ(Submit(reset), STATUS_SUCCESS);
    EXPECT_FALSE(device_.Halted(Pipe::BulkIn));
    status = Bulk(in_, csw, kCswLength, USBD_SHORT_TRANSFER_OK);
    EXPECT_EQ(Submit(status), STATUS_SUCCESS);
    EXPECT_EQ(ReadLe32(csw + 8), 512u);
}

TEST_F(BusPdo, ShortInTransferWithoutShortOkIsAnError)
{
    Configure();
    CommandBlockWrapper cbw;
    SendCbw(Cdb6(scsi::kInquiry, 36), 64, true, cbw);
    std::vector<uint8_t> data(64);
    URB in = Bulk(in_, data.data(), 64, USBD_TRANSFER_DIRECTION_IN);
    EXPECT_EQ(Submit(in), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(in.UrbHeader.Status, USBD_STATUS_DATA_UNDERRUN);
    EXPECT_EQ(in.UrbBulkOrInterruptTransfer.TransferBufferLength, 36u);
}

// A transfer the device never answers stays pending until its pipe is aborted.
TEST_F(BusPdo, NakedTransferWaitsForAbort)
{
    Configure();
    uint8_t report[8];
    URB urb = Bulk(interrupt_, report, sizeof report, USBD_SHORT_TRANSFER_OK);
    IrpRequest request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.setup = [&urb](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = &urb;
    };
    auto inFlight = StartIrp(pdo_, request);
    EXPECT_FALSE(inFlight->Completed());
    EXPECT_EQ(bus_.ParkedTransfers(pdo_), 1u);

    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, interrupt_);
    EXPECT_EQ(Submit(abort), STATUS_SUCCESS);
    const IrpResult result = inFlight->Wait();
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_.ParkedTransfers(pdo_), 0u);
}

// A waiting transfer also ends when its sender cancels it, and when the port is reset; an abort after the
// cancel finds nothing left to complete.
TEST_F(BusPdo, NakedTransferEndsWhenCancelledOrThePortIsReset)
{
    Configure();
    uint8_t report[8];
    URB urb = Bulk(interrupt_, report, sizeof report, USBD_SHORT_TRANSFER_OK);
    IrpRequest request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.setup = [&urb](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = &urb;
    };
    auto first = StartIrp(pdo_, request);
    ASSERT_FALSE(first->Completed());
    EXPECT_TRUE(first->Cancel());
    EXPECT_EQ(first->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(bus_.ParkedTransfers(pdo_), 0u);
    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, interrupt_);
    EXPECT_EQ(Submit(abort), STATUS_SUCCESS);
    EXPECT_FALSE(first->Cancel()); // it is back with its sender

    auto second = StartIrp(pdo_, request);
    ASSERT_FALSE(second->Completed());
    EXPECT_EQ(SendInternalDeviceControl(pdo_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr).status, STATUS_SUCCESS);
    EXPECT_EQ(second->Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(bus_.ParkedTransfers(pdo_), 0u);
}

TEST_F(BusPdo, ClassRequestsPortStatusAndMalformedRequests)
{
    URB early = Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), nullptr, 0, 0);
    EXPECT_EQ(Submit(early), STATUS_INVALID_PARAMETER); // nothing is configured yet
    EXPECT_EQ(early.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // A request with room for one pipe only (the storage is larger, the announced length is not).
    std::vector<uint8_t> small(256, 0);
    USB_CONFIGURATION_DESCRIPTOR descriptor{};
    auto* select = reinterpret_cast<PURB>(small.data());
    UsbBuildSelectConfigurationRequest(select, USHORT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 1)),
                                       &descriptor);
    select->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(Submit(*select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);

    Configure();
    uint8_t maxLun = 0xFF;
    URB klass{};
    klass.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    klass.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    klass.UrbControlVendorClassRequest.Request = 0xFE;
    klass.UrbControlVendorClassRequest.TransferBuffer = &maxLun;
    klass.UrbControlVendorClassRequest.TransferBufferLength = 1;
    EXPECT_EQ(Submit(klass), STATUS_SUCCESS);
    EXPECT_EQ(maxLun, 0);
    klass.UrbControlVendorClassRequest.Request = 0xFF;
    EXPECT_EQ(Submit(klass), STATUS_SUCCESS);

    URB unknown{};
    unknown.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    EXPECT_EQ(Submit(unknown), STATUS_NOT_SUPPORTED);
    URB noBuffer = Bulk(out_, nullptr, 31, 0);
    EXPECT_EQ(Submit(noBuffer), STATUS_INVALID_PARAMETER);

    ULONG port = 0;
    EXPECT_EQ(SendInternalDeviceControl(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status,
              STATUS_SUCCESS);
    EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    device_.Unplug();
    EXPECT_EQ(SendInternalDeviceControl(pdo_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status,
              STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    CommandBlockWrapper cbw = MakeCbw(1, 0, false, 0, Cdb6(scsi::kTestUnitReady).data(), 6);
    URB gone = Bulk(out_, &cbw, kCbwLength, 0);
    EXPECT_EQ(Submit(gone), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(gone.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

} // namespace

// A device whose configuration lists other pipes than the usual three: the descriptors and the selected
// interface carry exactly those, a request with room for fewer fails, and every listed pipe reaches the
// device's pipe it names.
TEST(BusPdoEndpoints, TheInterfaceHasThePipesTheDeviceLists)
{
    ScopedKernel kernel;
    DeviceConfig config = OneLun();
    config.endpoints = {EndpointConfig{Pipe::BulkIn, 0x81, false, 512},
                        EndpointConfig{Pipe::BulkOut, 0x02, false, 512},
                        EndpointConfig{Pipe::BulkIn, 0x84, false, 64}};
    BulkOnlyDevice device(config);
    UsbBus bus;
    PDEVICE_OBJECT pdo = bus.AddDevice(device);
    const auto submit = [&](URB& urb) {
        return SendInternalDeviceControl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status;
    };

    uint8_t descriptor[64] = {};
    URB get{};
    UsbBuildGetDescriptorRequest(&get, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor, nullptr,
                                 sizeof descriptor, nullptr);
    ASSERT_EQ(submit(get), STATUS_SUCCESS);
    EXPECT_EQ(get.UrbControlDescriptorRequest.TransferBufferLength, 9u + 9u + 3 * 7u);
    EXPECT_EQ(descriptor[9 + 4], 3) << "bNumEndpoints";
    EXPECT_EQ(descriptor[18 + 2 * 7 + 2], 0x84);

    USB_CONFIGURATION_DESCRIPTOR configuration{};
    std::vector<uint8_t> storage(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3) + sizeof(URB), 0);
    auto* select = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectConfigurationRequest(select, USHORT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2)),
                                       &configuration);
    select->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(2);
    EXPECT_EQ(submit(*select), STATUS_INVALID_PARAMETER) << "no room for the third pipe";
    UsbBuildSelectConfigurationRequest(select, USHORT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3)),
                                       &configuration);
    select->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(3);
    ASSERT_EQ(submit(*select), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = select->UrbSelectConfiguration.Interface;
    ASSERT_EQ(info.NumberOfPipes, 3u);
    EXPECT_EQ(info.Pipes[2].EndpointAddress, 0x84);
    EXPECT_EQ(info.Pipes[2].MaximumPacketSize, 64);

    // The command goes out on 0x02, its data comes back on the second bulk IN pipe.
    const std::vector<uint8_t> cdb = Cdb6(scsi::kInquiry, 36);
    CommandBlockWrapper cbw = MakeCbw(1, 36, true, 0, cdb.data(), uint8_t(cdb.size()));
    URB out{};
    UsbBuildInterruptOrBulkTransferRequest(&out, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           info.Pipes[1].PipeHandle, &cbw, nullptr, kCbwLength, 0, nullptr);
    ASSERT_EQ(submit(out), STATUS_SUCCESS);
    uint8_t data[36] = {};
    URB in{};
    UsbBuildInterruptOrBulkTransferRequest(&in, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           info.Pipes[2].PipeHandle, data, nullptr, sizeof data,
                                           USBD_SHORT_TRANSFER_OK, nullptr);
    ASSERT_EQ(submit(in), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data + 8, data + 14), "KAVLAB");
    bus.RemoveDevice(pdo);
}
