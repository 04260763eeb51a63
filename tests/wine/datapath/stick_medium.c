// The stick: a RAM medium behind a SCSI target that speaks Bulk-Only Transport, as a USB flash drive's
// controller does. Only the host controller thread calls it, one transfer at a time, so its Bulk-Only state
// needs no lock; the counters are read by the workload while commands run, so they are interlocked.
#include "tests/wine/datapath/stick.h"

#define CBW_SIGNATURE 0x43425355u
#define CSW_SIGNATURE 0x53425355u
#define CBW_LENGTH 31u
#define CSW_LENGTH 13u

// A word of the medium's initial content and of every write's data: differs for every 4-byte word of the
// medium and for every seed, so a block served from the wrong place or the wrong run shows.
ULONG PatternWord(ULONG64 byteOffset, ULONG seed)
{
    ULONG64 x = (byteOffset / 4) * 0x9E3779B97F4A7C15ull + seed * 0xC2B2AE3D27D4EB4Full + 1;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return (ULONG)x;
}

void FillPattern(UCHAR* bytes, ULONG64 byteOffset, ULONG length, ULONG seed)
{
    for (ULONG index = 0; index < length; index += 4)
    {
        *(ULONG*)(bytes + index) = PatternWord(byteOffset + index, seed);
    }
}

NTSTATUS MediumCreate(struct StickMedium* medium, ULONG seed)
{
    RtlZeroMemory(medium, sizeof(*medium));
    medium->bytes = ExAllocatePoolWithTag(NonPagedPool, MEDIUM_BYTES, STICK_TAG);
    if (medium->bytes == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FillPattern(medium->bytes, 0, MEDIUM_BYTES, seed);
    medium->present = TRUE;
    medium->phase = BotCommand;
    return STATUS_SUCCESS;
}

void MediumRelease(struct StickMedium* medium)
{
    if (medium->bytes != NULL)
    {
        ExFreePoolWithTag(medium->bytes, STICK_TAG);
        medium->bytes = NULL;
    }
}

void MediumReset(struct StickMedium* medium)
{
    medium->phase = BotCommand;
}

static ULONG BigEndian32(const UCHAR* bytes)
{
    return ((ULONG)bytes[0] << 24) | ((ULONG)bytes[1] << 16) | ((ULONG)bytes[2] << 8) | bytes[3];
}

static void PutBigEndian32(UCHAR* bytes, ULONG value)
{
    bytes[0] = (UCHAR)(value >> 24);
    bytes[1] = (UCHAR)(value >> 16);
    bytes[2] = (UCHAR)(value >> 8);
    bytes[3] = (UCHAR)value;
}

static void Fail(struct StickMedium* medium, UCHAR key, UCHAR code)
{
    medium->status = 1;
    medium->senseKey = key;
    medium->senseCode = code;
}

static void Reply(struct StickMedium* medium, ULONG length)
{
    medium->dataIn = medium->reply;
    medium->dataInLength = length;
}

// Whether the command may touch the medium at all; otherwise the reason is kept for REQUEST SENSE.
static BOOLEAN MediumReady(struct StickMedium* medium)
{
    if (!medium->present)
    {
        Fail(medium, 0x02, 0x3A);
        return FALSE;
    }
    return TRUE;
}

static void ReadWrite(struct StickMedium* medium, const UCHAR* cdb, BOOLEAN write)
{
    ULONG lba = BigEndian32(cdb + 2);
    ULONG blocks = ((ULONG)cdb[7] << 8) | cdb[8];
    InterlockedIncrement(write ? &medium->counters.writeCommands : &medium->counters.readCommands);
    if (!MediumReady(medium))
    {
        return;
    }
    if (lba >= MEDIUM_BLOCKS || blocks > MEDIUM_BLOCKS - lba)
    {
        Fail(medium, 0x05, 0x21);
        return;
    }
    UCHAR* where = medium->bytes + (ULONG64)lba * BLOCK_SIZE;
    ULONG length = blocks * BLOCK_SIZE;
    if (write)
    {
        // A write-protected stick takes the data phase and fails the command, as flash controllers do.
        if (medium->writeProtected)
        {
            Fail(medium, 0x07, 0x27);
            medium->dataOut = NULL;
        }
        else
        {
            medium->dataOut = where;
        }
        medium->dataOutLength = length;
    }
    else
    {
        medium->dataIn = where;
        medium->dataInLength = length;
    }
}

static void Execute(struct StickMedium* medium, const UCHAR* cdb)
{
    medium->status = 0;
    medium->dataIn = NULL;
    medium->dataInLength = 0;
    medium->dataOut = NULL;
    medium->dataOutLength = 0;
    RtlZeroMemory(medium->reply, sizeof(medium->reply));
    if (cdb[0] != SCSIOP_READ && cdb[0] != SCSIOP_WRITE)
    {
        InterlockedIncrement(&medium->counters.otherCommands);
    }
    switch (cdb[0])
    {
    case SCSIOP_READ:
    case SCSIOP_WRITE:
        ReadWrite(medium, cdb, cdb[0] == SCSIOP_WRITE);
        return;
    case SCSIOP_TEST_UNIT_READY:
        MediumReady(medium);
        return;
    case SCSIOP_REQUEST_SENSE:
        medium->reply[0] = 0x70;
        medium->reply[2] = medium->senseKey;
        medium->reply[7] = 10;
        medium->reply[12] = medium->senseCode;
        medium->senseKey = 0;
        medium->senseCode = 0;
        Reply(medium, 18);
        return;
    case SCSIOP_INQUIRY:
        medium->reply[1] = 0x80;
        medium->reply[2] = 0x02;
        medium->reply[3] = 0x02;
        medium->reply[4] = 31;
        RtlCopyMemory(medium->reply + 8, "KAVTEST Datapath Stick  1.00", 28);
        Reply(medium, 36);
        return;
    case SCSIOP_READ_CAPACITY:
        if (MediumReady(medium))
        {
            PutBigEndian32(medium->reply, MEDIUM_BLOCKS - 1);
            PutBigEndian32(medium->reply + 4, BLOCK_SIZE);
            Reply(medium, 8);
        }
        return;
    case SCSIOP_MODE_SENSE:
        medium->reply[0] = 3;
        medium->reply[2] = medium->writeProtected ? 0x80 : 0;
        Reply(medium, 4);
        return;
    default:
        Fail(medium, 0x05, 0x20);
        return;
    }
}

static USBD_STATUS CommandPhase(struct StickMedium* medium, const UCHAR* buffer, ULONG length)
{
    if (length != CBW_LENGTH || *(const ULONG*)buffer != CBW_SIGNATURE)
    {
        return USBD_STATUS_STALL_PID;
    }
    medium->tag = *(const ULONG*)(buffer + 4);
    medium->expected = *(const ULONG*)(buffer + 8);
    medium->transferred = 0;
    Execute(medium, buffer + 15);
    BOOLEAN in = (buffer[12] & 0x80) != 0;
    if (medium->expected == 0)
    {
        medium->phase = BotStatus;
    }
    else
    {
        medium->phase = in ? BotDataIn : BotDataOut;
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS MediumBulkTransfer(struct StickMedium* medium, BOOLEAN in, UCHAR* buffer, ULONG* length)
{
    if (medium->gone)
    {
        *length = 0;
        return USBD_STATUS_DEVICE_GONE;
    }
    ULONG asked = *length;
    *length = 0;
    switch (medium->phase)
    {
    case BotCommand:
        if (in)
        {
            return USBD_STATUS_STALL_PID;
        }
        *length = asked;
        return CommandPhase(medium, buffer, asked);
    case BotDataIn: {
        if (!in)
        {
            return USBD_STATUS_STALL_PID;
        }
        ULONG room = medium->expected - medium->transferred;
        ULONG offered =
            medium->dataInLength > medium->transferred ? medium->dataInLength - medium->transferred : 0;
        ULONG moved = asked < room ? asked : room;
        moved = moved < offered ? moved : offered;
        if (moved > 0)
        {
            RtlCopyMemory(buffer, medium->dataIn + medium->transferred, moved);
            if (medium->dataIn != medium->reply)
            {
                InterlockedAdd64(&medium->counters.bytesRead, moved);
            }
        }
        medium->transferred += moved;
        // A short packet ends the data phase early, as the device has nothing more to send.
        if (medium->transferred == medium->expected || moved < asked)
        {
            medium->phase = BotStatus;
        }
        *length = moved;
        return USBD_STATUS_SUCCESS;
    }
    case BotDataOut: {
        if (in)
        {
            return USBD_STATUS_STALL_PID;
        }
        ULONG room = medium->expected - medium->transferred;
        ULONG moved = asked < room ? asked : room;
        if (medium->dataOut != NULL && medium->transferred < medium->dataOutLength)
        {
            ULONG kept = medium->dataOutLength - medium->transferred;
            kept = kept < moved ? kept : moved;
            RtlCopyMemory(medium->dataOut + medium->transferred, buffer, kept);
            InterlockedAdd64(&medium->counters.bytesWritten, kept);
        }
        medium->transferred += moved;
        if (medium->transferred == medium->expected)
        {
            medium->phase = BotStatus;
        }
        *length = moved;
        return USBD_STATUS_SUCCESS;
    }
    case BotStatus:
    default: {
        if (!in || asked < CSW_LENGTH)
        {
            return USBD_STATUS_STALL_PID;
        }
        ULONG moved = medium->transferred;
        if (medium->dataOut == NULL && medium->dataIn == NULL)
        {
            moved = 0;
        }
        *(ULONG*)buffer = CSW_SIGNATURE;
        *(ULONG*)(buffer + 4) = medium->tag;
        *(ULONG*)(buffer + 8) = medium->expected - (moved < medium->expected ? moved : medium->expected);
        buffer[12] = medium->status;
        medium->phase = BotCommand;
        *length = CSW_LENGTH;
        return USBD_STATUS_SUCCESS;
    }
    }
}
