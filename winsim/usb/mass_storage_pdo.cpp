// winsim: the child PDOs of the mass-storage function driver model (see mass_storage_driver.h), one per
// logical unit. A child answers the PnP manager's ID queries from its unit's INQUIRY data (enumerator
// "USBSTOR"), stays while its unit is present and is deleted only when removed after its device left, and
// takes the disk class driver's request blocks, which it checks and queues at the FDO. Misuse by the
// driver above (a request block without an MDL for its data, a DataBuffer outside the MDL, an MDL whose
// pages are not locked) is a bug check, DRIVER_VERIFIER_DETECTED_VIOLATION.
#include "winsim/usb/mass_storage_internal.h"

#include <cstring>
#include <string>

namespace winsim::usb::msd
{
namespace
{

// A multi-string or string ID in paged pool, as the PnP manager frees it.
NTSTATUS ReturnId(PIRP irp, const std::u16string& text, bool multi)
{
    const size_t chars = text.size() + (multi ? 2 : 1);
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
    if (buffer == nullptr)
    {
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    std::memset(buffer, 0, chars * sizeof(WCHAR));
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
}

std::u16string InquiryField(const PdoExtension* pdo, ULONG offset, ULONG length)
{
    std::u16string field;
    for (ULONG i = offset; i < offset + length && i < pdo->inquiryLength; ++i)
    {
        const UCHAR c = pdo->inquiry[i];
        field.push_back(c > 0x20 && c < 0x7F && c != ',' ? char16_t(c) : u'_');
    }
    while (!field.empty() && field.back() == u'_')
    {
        field.pop_back();
    }
    return field;
}

NTSTATUS PdoQueryId(PdoExtension* pdo, PIRP irp)
{
    const std::u16string device = u"USBSTOR\\Disk&Ven_" + InquiryField(pdo, 8, 8) + u"&Prod_" +
                                  InquiryField(pdo, 16, 16) + u"&Rev_" + InquiryField(pdo, 32, 4);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType)
    {
    case BusQueryDeviceID:
        return ReturnId(irp, device, false);
    case BusQueryHardwareIDs:
        return ReturnId(irp, device + u'\0' + u"USBSTOR\\GenDisk" + u'\0' + u"GenDisk", true);
    case BusQueryInstanceID:
        return ReturnId(irp, std::u16string(1, char16_t(u'0' + pdo->lun)), false);
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// Removal of a child: it waits for its request blocks; it is deleted only when its unit is gone (the
// device was surprise-removed), else it stays for a later start, and its parent deletes it at its own
// removal.
NTSTATUS PdoRemove(PdoExtension* pdo, PIRP irp)
{
    IoReleaseRemoveLockAndWait(&pdo->removeLock, irp);
    pdo->removed = TRUE;
    FdoExtension* fdo = pdo->fdo;
    bool remove = false;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        auto& children = fdo->queue->children;
        for (size_t i = 0; i < children.size(); ++i)
        {
            if (children[i] == pdo->self && fdo->queue->missing[i])
            {
                children.erase(children.begin() + long(i));
                fdo->queue->missing.erase(fdo->queue->missing.begin() + long(i));
                remove = true;
                break;
            }
        }
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    PDEVICE_OBJECT self = pdo->self;
    if (!remove)
    {
        IoInitializeRemoveLock(&pdo->removeLock, kPoolTag, 0, 0); // ready for a later start
    }
    CompleteIrp(irp, STATUS_SUCCESS);
    if (remove)
    {
        IoDeleteDevice(self);
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS PdoPnp(PdoExtension* pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&pdo->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        if (sp->MinorFunction == IRP_MN_START_DEVICE && pdo->removed)
        {
            // A removed child that is still present starts again.
            pdo->removed = FALSE;
            IoInitializeRemoveLock(&pdo->removeLock, kPoolTag, 0, 0);
            return CompleteIrp(irp, STATUS_SUCCESS);
        }
        return CompleteIrp(irp, status);
    }
    switch (sp->MinorFunction)
    {
    case IRP_MN_REMOVE_DEVICE:
        return PdoRemove(pdo, irp);
    case IRP_MN_START_DEVICE:
        pdo->removed = FALSE;
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        pdo->surprised = TRUE;
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
        {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (relations == nullptr)
            {
                status = CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = pdo->self;
            ObfReferenceObject(pdo->self);
            status = CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            break;
        }
        status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = sp->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities != nullptr)
        {
            capabilities->Removable = (pdo->self->Characteristics & FILE_REMOVABLE_MEDIA) != 0;
            capabilities->SurpriseRemovalOK = TRUE;
            capabilities->Address = pdo->lun;
        }
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    }
    case IRP_MN_QUERY_ID:
        status = PdoQueryId(pdo, irp);
        break;
    default:
        status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    }
    IoReleaseRemoveLock(&pdo->removeLock, irp);
    return status;
}

// A request block from the disk class driver: checked, then queued at the parent.
NTSTATUS PdoScsi(PdoExtension* pdo, PIRP irp)
{
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
    if (srb == nullptr || srb->Function != SRB_FUNCTION_EXECUTE_SCSI || srb->CdbLength == 0 ||
        srb->CdbLength > 16)
    {
        if (srb != nullptr)
        {
            srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        }
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    if (srb->DataTransferLength != 0)
    {
        PMDL mdl = irp->MdlAddress;
        const auto* start = static_cast<const UCHAR*>(srb->DataBuffer);
        const auto* mdlStart =
            mdl != nullptr ? static_cast<const UCHAR*>(MmGetMdlVirtualAddress(mdl)) : nullptr;
        if (mdl == nullptr || start < mdlStart || start + srb->DataTransferLength > mdlStart + mdl->ByteCount)
        {
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kSrbMisuse, ULONG_PTR(irp), ULONG_PTR(srb),
                         ULONG_PTR(mdl));
        }
        if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
        {
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kSrbMisuse + 1, ULONG_PTR(irp), ULONG_PTR(srb),
                         ULONG_PTR(mdl));
        }
    }
    NTSTATUS status = IoAcquireRemoveLock(&pdo->removeLock, irp);
    if (!NT_SUCCESS(status) || pdo->surprised)
    {
        if (NT_SUCCESS(status))
        {
            IoReleaseRemoveLock(&pdo->removeLock, irp);
        }
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        srb->DataTransferLength = 0;
        return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    srb->Lun = pdo->lun;
    srb->SrbStatus = SRB_STATUS_PENDING;
    srb->ScsiStatus = SCSISTAT_GOOD;
    srb->OriginalRequest = irp;
    Request request;
    request.irp = irp;
    request.srb = srb;
    request.pdo = pdo->self;
    IoMarkIrpPending(irp);
    if (!Enqueue(pdo->fdo, request))
    {
        IoReleaseRemoveLock(&pdo->removeLock, irp);
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        srb->DataTransferLength = 0;
        CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    return STATUS_PENDING;
}

} // namespace winsim::usb::msd
