// The Bulk-Only Transport as it is on the wire, for the filter's reading and writing of it: the fields of a
// 31-byte command wrapper and of the READ(10)/WRITE(10) block inside it, the test whether the filter can
// answer such a command exactly, status wrappers checked and written, and where a transfer's data lies.
// Nothing here keeps state or sends anything.
#include "driver/kavfiltr.h"

// Wrapper fields are little-endian, command-block fields big-endian, whatever the processor's order.
ULONG ReadLittleEndian32(const UCHAR* bytes)
{
    return static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 |
           static_cast<ULONG>(bytes[2]) << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

ULONG ReadBigEndian32(const UCHAR* bytes)
{
    return static_cast<ULONG>(bytes[0]) << 24 | static_cast<ULONG>(bytes[1]) << 16 |
           static_cast<ULONG>(bytes[2]) << 8 | static_cast<ULONG>(bytes[3]);
}

USHORT ReadBigEndian16(const UCHAR* bytes)
{
    return static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
}

void WriteBigEndian32(UCHAR* bytes, ULONG value)
{
    bytes[0] = static_cast<UCHAR>(value >> 24);
    bytes[1] = static_cast<UCHAR>(value >> 16);
    bytes[2] = static_cast<UCHAR>(value >> 8);
    bytes[3] = static_cast<UCHAR>(value);
}

void WriteBigEndian16(UCHAR* bytes, USHORT value)
{
    bytes[0] = static_cast<UCHAR>(value >> 8);
    bytes[1] = static_cast<UCHAR>(value);
}

// The fields the filter acts on, read from a whole wrapper so that no caller computes an offset itself.
ULONG CommandTag(const UCHAR* cbw)
{
    return ReadLittleEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, dCBWTag));
}

ULONG CommandDataLength(const UCHAR* cbw)
{
    return ReadLittleEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, dCBWDataTransferLength));
}

ULONG CommandLba(const UCHAR* cbw)
{
    return ReadBigEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, CBWCB) + 2);
}

USHORT CommandBlocks(const UCHAR* cbw)
{
    return ReadBigEndian16(cbw + FIELD_OFFSET(CommandBlockWrapper, CBWCB) + 7);
}

ULONGLONG CommandOffset(const UCHAR* cbw, const LunContext* context)
{
    return static_cast<ULONGLONG>(CommandLba(cbw)) * context->blockLength;
}

// A block length the filter can compute with: a power of two that a real medium uses. Until a capacity
// answer with such a length has been seen (or after a garbled one), the unit is left alone.
BOOLEAN IsUnitUsable(const LunContext* context)
{
    ULONG length = context->blockLength;
    return length >= 512 && length <= 65536 && (length & (length - 1)) == 0;
}

// Only commands whose wrapper and command block agree, in direction and in length, are answered by the
// filter; anything odd is the device's and the function driver's business.
BOOLEAN IsServableBlockCommand(const UCHAR* cbw, const LunContext* context, BOOLEAN dataIn)
{
    if (!IsUnitUsable(context))
    {
        return FALSE;
    }
    BOOLEAN wrapperIn = (cbw[FIELD_OFFSET(CommandBlockWrapper, bmCBWFlags)] & CBW_FLAGS_DATA_IN) != 0;
    ULONG length = CommandDataLength(cbw);
    return wrapperIn == dataIn && length != 0 &&
           static_cast<ULONGLONG>(CommandBlocks(cbw)) * context->blockLength == length;
}

// The system address of a transfer's data, whether the function driver gave a buffer or an MDL.
PVOID MapTransferBuffer(PURB urb)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if (transfer.TransferBuffer != nullptr)
    {
        return transfer.TransferBuffer;
    }
    if (transfer.TransferBufferMDL == nullptr)
    {
        return nullptr;
    }
    return MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, HighPagePriority);
}

// A status wrapper the filter received for its own command: anything but a passed command with nothing
// left over means the device does not hold what the filter asked for.
NTSTATUS CheckStatusWrapper(const UCHAR* wrapper, ULONG length, ULONG tag)
{
    if (length != CSW_LENGTH || ReadLittleEndian32(wrapper) != CSW_SIGNATURE ||
        ReadLittleEndian32(wrapper + FIELD_OFFSET(CommandStatusWrapper, dCSWTag)) != tag ||
        ReadLittleEndian32(wrapper + FIELD_OFFSET(CommandStatusWrapper, dCSWDataResidue)) != 0 ||
        wrapper[FIELD_OFFSET(CommandStatusWrapper, bCSWStatus)] != 0)
    {
        return STATUS_IO_DEVICE_ERROR;
    }
    return STATUS_SUCCESS;
}

// Answers the function driver's status transfer for a command the filter served: a passed command with
// its own tag. A buffer that cannot be mapped fails the transfer instead of reporting success blindly.
void WritePassedStatusWrapper(PURB urb, ULONG tag, NTSTATUS* status)
{
    WriteStatusWrapper(urb, tag, 0, 0, status);
}

// A status wrapper of the filter's making, written into the buffer the function driver posted for the one
// the device would send. The buffer must hold all 13 bytes: the function driver's buffer is never written
// past its end, and a transfer too short for a wrapper is failed as the device's short answer would be.
void WriteStatusWrapper(PURB urb, ULONG tag, ULONG residue, UCHAR cswStatus, NTSTATUS* status)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    BOOLEAN fits = transfer.TransferBufferLength >= CSW_LENGTH &&
                   (transfer.TransferBuffer != nullptr || transfer.TransferBufferMDL == nullptr ||
                    MmGetMdlByteCount(transfer.TransferBufferMDL) >= CSW_LENGTH);
    auto* wrapper = fits ? static_cast<CommandStatusWrapper*>(MapTransferBuffer(urb)) : nullptr;
    if (wrapper == nullptr)
    {
        *status = STATUS_INVALID_PARAMETER;
        return;
    }
    transfer.TransferBufferLength = CSW_LENGTH;
    transfer.TransferFlags = TRANSFER_FLAGS_IN_SHORT_OK;
    CommandStatusWrapper answer = {CSW_SIGNATURE, tag, residue, cswStatus};
    RtlCopyMemory(wrapper, &answer, sizeof(answer));
    *status = STATUS_SUCCESS;
}
