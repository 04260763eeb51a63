// winsim: the SCSI request block that a storage class driver sends to its port or miniport driver with
// IRP_MJ_SCSI (the internal device control major code), carried in Parameters.Scsi.Srb of the IRP's
// stack location. Only the members the simulated storage stack uses are declared, with the platform's
// names and codes (srb.h of the storage port interface); the layout is ours, nothing outside the
// simulation depends on it. Data moves through the IRP's MDL: DataBuffer is the virtual address of the
// first byte of the transfer inside that MDL, as the disk class driver sets it when it cuts a request
// into pieces.
#pragma once

#include <ntddk.h>

#define SRB_FUNCTION_EXECUTE_SCSI 0x00

// SrbStatus values; SRB_STATUS_AUTOSENSE_VALID is a flag or-ed into the status.
#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_DATA_OVERRUN 0x12 // also reported for an underrun: DataTransferLength tells what moved
#define SRB_STATUS_AUTOSENSE_VALID 0x80
#define SRB_STATUS(status) ((status) & ~SRB_STATUS_AUTOSENSE_VALID)

// SrbFlags: the direction of the data phase.
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000

// ScsiStatus values.
#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CHECK_CONDITION 0x02

typedef struct _SCSI_REQUEST_BLOCK
{
    USHORT Length; // sizeof(SCSI_REQUEST_BLOCK)
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun; // set by the port driver from the PDO it arrives at
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength; // in: bytes requested; out: bytes moved
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _IRP* OriginalRequest;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;
