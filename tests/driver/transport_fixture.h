// Kavfiltr between a test that plays the mass-storage function driver and the simulated USB stick: the
// test sends every command wrapper, data and status transfer itself, so each phase the filter sees can be
// checked, together with what the device received. A disk-side filter on a simple bus stands for the
// disk node, so that reads and large writes "in flight" can be held there.
#pragma once

#include "tests/driver/driver_fixture.h"
#include "tests/support/patterns.h"
#include "tests/support/test_filter.h"

#include "winsim/usb/bot_device.h"
#include "winsim/usb/bot_wire.h"
#include "winsim/usb/disk_image.h"
#include "winsim/usb/usb_bus_pdo.h"

#include <cstring>
#include <memory>

namespace kavtest
{

namespace wu = winsim::usb;

// Commands the device received, as (opcode, lba, blocks).
using Commands = std::vector<std::tuple<int, uint32_t, uint32_t>>;

// The outcome of one exchange as the function driver sees it.
struct Exchange
{
    NTSTATUS command = STATUS_PENDING;
    NTSTATUS data = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    ULONG dataLength = 0;
    wu::CommandStatusWrapper wrapper{};
    // Every transfer's URB told the same outcome as its IRP: the function driver reads both.
    bool urbsAgree = true;

    bool Passed(uint32_t tag) const
    {
        return NT_SUCCESS(command) && NT_SUCCESS(data) && NT_SUCCESS(status) &&
               wu::ReadLe32(wrapper.signature) == wu::kCswSignature && wu::ReadLe32(wrapper.tag) == tag &&
               wu::ReadLe32(wrapper.dataResidue) == 0 && wrapper.status == 0;
    }
};

class TransportTest : public KavfiltrTest
{
protected:
    static constexpr uint32_t kBlocks = 0x20000; // 64 MiB of 512-byte blocks

    void SetUp() override
    {
        KavfiltrTest::SetUp();
        Attach();
        ASSERT_NE(filter_, nullptr);
        ASSERT_NE(disk_, nullptr);
        ASSERT_NE(in_, nullptr);
    }

    void TearDown() override
    {
        Detach();
        KavfiltrTest::TearDown();
    }

    // Builds the stick with the filter in both of its stacks. When the filter cannot attach (no pool), the
    // function driver's transfers go straight to the device, as they would on Windows.
    void Attach()
    {
        device_ = std::make_unique<wu::BulkOnlyDevice>(Config());
        usbBus_ = std::make_unique<wu::UsbBus>();
        usbPdo_ = usbBus_->AddDevice(*device_);
        filter_ = Attached(usbPdo_);
        top_ = filter_ != nullptr ? filter_ : usbPdo_;
        diskPdo_ = bus_->CreatePdo(u"USBSTOR", FILE_DEVICE_DISK);
        disk_ = nullptr;
        if (filter_ != nullptr)
        {
            // The bus relations that the function driver would report: the disk of unit 0.
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(DEVICE_RELATIONS), KAVFILTR_POOL_TAG));
            if (relations != nullptr)
            {
                relations->Count = 1;
                relations->Objects[0] = diskPdo_;
                UsbExtension(filter_)->busRelations = relations;
                disk_ = Attached(diskPdo_);
            }
        }
        diskTop_ = disk_ != nullptr ? disk_ : diskPdo_;
        Configure();
    }

    void Detach()
    {
        for (PDEVICE_OBJECT filter : {disk_, filter_})
        {
            if (filter != nullptr && IsAlive(filter))
            {
                winsim::SendPnp(filter, IRP_MN_REMOVE_DEVICE);
            }
        }
        attached_.clear();
        filter_ = disk_ = nullptr;
        if (diskPdo_ != nullptr)
        {
            bus_->DeletePdo(diskPdo_);
            diskPdo_ = nullptr;
        }
        usbBus_.reset();
        device_.reset();
        in_ = out_ = nullptr;
    }

    virtual wu::DeviceConfig Config()
    {
        wu::DeviceConfig config;
        wu::LunConfig lun;
        lun.image = std::make_shared<wu::MemoryDiskImage>(uint64_t(kBlocks) * 512);
        config.luns.push_back(lun);
        return config;
    }

    // AddDevice for the PDO, whatever its outcome; the filter device when one was attached.
    PDEVICE_OBJECT Attached(PDEVICE_OBJECT pdo)
    {
        winsim::CallAddDevice(driver_, pdo);
        PDEVICE_OBJECT filter = pdo->AttachedDevice;
        if (filter != nullptr)
        {
            attached_.push_back(filter);
        }
        return filter;
    }

    NTSTATUS Submit(URB& urb)
    {
        return winsim::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status;
    }

    // A transfer that may not come back at once (the device hangs, or the filter works on it): the test may
    // cancel it meanwhile, as the function driver's time-out does.
    std::shared_ptr<winsim::IrpInFlight> StartSubmit(URB& urb)
    {
        winsim::IrpRequest request;
        request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        request.setup = [&urb](PIO_STACK_LOCATION sp) {
            sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            sp->Parameters.Others.Argument1 = &urb;
        };
        return winsim::StartIrp(top_, request);
    }

    // A transfer cancelled on its way to the filter: the function driver's time-out struck after its call,
    // before the filter could set a cancel routine (a filter above sets the flag, as IoCancelIrp does then).
    NTSTATUS SubmitCancelledOnTheWay(URB& urb)
    {
        PDRIVER_OBJECT racing = winsim::LoadDriver(u"Racing", FilterEntry);
        PDEVICE_OBJECT above = kavtest::Attach(racing, usbPdo_);
        CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
            irp->Cancel = TRUE;
            return SkipAndCall(device, irp);
        };
        NTSTATUS status =
            winsim::SendInternalDeviceControl(above, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb).status;
        CurrentDispatch() = nullptr;
        kavtest::Detach(above);
        winsim::UnloadDriver(racing);
        return status;
    }

    void Configure()
    {
        USB_CONFIGURATION_DESCRIPTOR descriptor{};
        const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3);
        std::vector<uint8_t> storage(std::max(size, sizeof(URB)), 0);
        auto* urb = reinterpret_cast<PURB>(storage.data());
        UsbBuildSelectConfigurationRequest(urb, USHORT(size), &descriptor);
        urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(3);
        if (Submit(*urb) != STATUS_SUCCESS)
        {
            ADD_FAILURE() << "the configuration could not be selected";
            return;
        }
        configuration_ = urb->UrbSelectConfiguration.ConfigurationHandle;
        const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < info.NumberOfPipes; ++i)
        {
            if (info.Pipes[i].PipeType != UsbdPipeTypeBulk)
            {
                continue;
            }
            (info.Pipes[i].EndpointAddress & 0x80 ? in_ : out_) = info.Pipes[i].PipeHandle;
        }
    }

    static URB Bulk(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags)
    {
        URB urb{};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer,
                                               nullptr, length, flags, nullptr);
        return urb;
    }

    // Reset recovery as the function driver does it after a failed transfer: the class reset, then both
    // bulk pipes cleared.
    void Recover()
    {
        URB reset{};
        reset.UrbControlVendorClassRequest.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        reset.UrbControlVendorClassRequest.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
        reset.UrbControlVendorClassRequest.Request = 0xFF;
        Submit(reset);
        for (USBD_PIPE_HANDLE pipe : {in_, out_})
        {
            URB clear{};
            clear.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
            clear.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
            clear.UrbPipeRequest.PipeHandle = pipe;
            Submit(clear);
        }
    }

    // One command as the function driver runs it: wrapper, optional data, status wrapper. A failed
    // phase ends the exchange with reset recovery, as the function driver's error handling does.
    Exchange Run(const std::vector<uint8_t>& cdb, uint32_t length, bool in, void* data, uint8_t lun = 0)
    {
        Exchange result = RunPhases(cdb, length, in, data, lun);
        if (!NT_SUCCESS(result.command) || !NT_SUCCESS(result.data) || !NT_SUCCESS(result.status) ||
            wu::ReadLe32(result.wrapper.signature) != wu::kCswSignature ||
            wu::ReadLe32(result.wrapper.tag) != tag_ || result.wrapper.status > 1)
        {
            Recover();
        }
        return result;
    }

    Exchange RunPhases(const std::vector<uint8_t>& cdb, uint32_t length, bool in, void* data, uint8_t lun)
    {
        Exchange result;
        uint32_t tag = ++tag_;
        wu::CommandBlockWrapper cbw = wu::MakeCbw(tag, length, in, lun, cdb.data(), uint8_t(cdb.size()));
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        result.command = Submit(command);
        result.urbsAgree = NT_SUCCESS(result.command) == USBD_SUCCESS(command.UrbHeader.Status);
        if (!NT_SUCCESS(result.command))
        {
            return result;
        }
        if (length != 0)
        {
            URB transfer = Bulk(in ? in_ : out_, data, length,
                                in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
            result.data = Submit(transfer);
            result.urbsAgree &= NT_SUCCESS(result.data) == USBD_SUCCESS(transfer.UrbHeader.Status);
            result.dataLength = transfer.UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (!NT_SUCCESS(result.data))
            {
                return result;
            }
        }
        else
        {
            result.data = STATUS_SUCCESS;
        }
        URB status = Bulk(in_, &result.wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        result.status = Submit(status);
        result.urbsAgree &= NT_SUCCESS(result.status) == USBD_SUCCESS(status.UrbHeader.Status);
        return result;
    }

    static std::vector<uint8_t> Cdb10(uint8_t opcode, uint32_t lba, uint16_t blocks)
    {
        return {opcode,       0, uint8_t(lba >> 24),   uint8_t(lba >> 16), uint8_t(lba >> 8),
                uint8_t(lba), 0, uint8_t(blocks >> 8), uint8_t(blocks),    0};
    }

    Exchange Read10(uint32_t lba, uint16_t blocks, std::vector<uint8_t>& data)
    {
        data.assign(size_t(blocks) * 512, 0);
        return Run(Cdb10(0x28, lba, blocks), uint32_t(data.size()), true, data.data());
    }

    Exchange Write10(uint32_t lba, uint16_t blocks, std::vector<uint8_t>& data)
    {
        return Run(Cdb10(0x2A, lba, blocks), uint32_t(blocks) * 512, false, data.data());
    }

    // A WRITE(10) whose data buffer cannot be mapped when the data phase is handled: the command goes out,
    // the data transfer fails on the host side, and the status wrapper is read as the function driver does.
    Exchange WriteUnmappable(uint32_t lba, uint16_t blocks, uint8_t salt)
    {
        Exchange result;
        std::vector<uint8_t> data = BlockPattern(lba, blocks, salt);
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, uint32_t(data.size()), false, 0, Cdb10(0x2A, lba, blocks).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        result.command = Submit(command);
        PMDL mdl = IoAllocateMdl(data.data(), ULONG(data.size()), FALSE, FALSE, nullptr);
        MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
        URB transfer{};
        UsbBuildInterruptOrBulkTransferRequest(&transfer, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), out_,
                                               nullptr, mdl, ULONG(data.size()), 0, nullptr);
        winsim::FailMdlMapping(true);
        result.data = Submit(transfer);
        winsim::FailMdlMapping(false);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        URB status = Bulk(in_, &result.wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
        result.status = Submit(status);
        return result;
    }

    Exchange ReadCapacity()
    {
        uint8_t answer[8] = {};
        return Run({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true, answer);
    }

    Exchange TestUnitReady() { return Run({0, 0, 0, 0, 0, 0}, 0, false, nullptr); }

    std::vector<uint8_t> Medium(uint32_t lba, uint32_t blocks)
    {
        std::vector<uint8_t> data(size_t(blocks) * 512);
        device_->ReadMedium(0, uint64_t(lba) * 512, data.data(), data.size());
        return data;
    }

    // A request held in flight on the disk node: a large write or a read, as the disk class has it.
    std::shared_ptr<winsim::IrpInFlight> HoldOnDisk(UCHAR major, ULONG length, LONGLONG offset)
    {
        winsim::ScopedThreadIdentity application(reinterpret_cast<HANDLE>(0x1000),
                                                 reinterpret_cast<HANDLE>(0x100000));
        return StartHeld(diskTop_, major, length, offset, heldBuffer_.data());
    }

    // Device commands logged since the last call.
    Commands NewCommands()
    {
        Commands commands;
        for (const wu::CommandRecord& record : device_->CommandLog())
        {
            commands.emplace_back(record.opcode, record.lba, record.blocks);
        }
        device_->ClearCommandLog();
        return commands;
    }

    LunContext* Unit() { return GetLunContext(UsbExtension(filter_), 0); }

    std::unique_ptr<wu::BulkOnlyDevice> device_;
    std::unique_ptr<wu::UsbBus> usbBus_;
    PDEVICE_OBJECT usbPdo_ = nullptr;
    PDEVICE_OBJECT filter_ = nullptr;
    PDEVICE_OBJECT diskPdo_ = nullptr;
    PDEVICE_OBJECT disk_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;     // where the function driver's URBs go
    PDEVICE_OBJECT diskTop_ = nullptr; // where the disk class's requests go
    USBD_PIPE_HANDLE in_ = nullptr;
    USBD_PIPE_HANDLE out_ = nullptr;
    USBD_CONFIGURATION_HANDLE configuration_ = nullptr;
    uint32_t tag_ = 0x100;
    std::vector<UCHAR> heldBuffer_ = std::vector<UCHAR>(0x400000);
};

} // namespace kavtest
