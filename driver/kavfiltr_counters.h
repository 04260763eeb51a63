// Where Kavfiltr leaves what it counted for a filtered stick, for whoever wants to see the speed-up work
// (Kavelor's property dialog, kavlab bench, support): the driver only ever writes these values, nobody
// writes to the driver. Under the USB device node's hardware key ("Device Parameters", which
// SetupDiOpenDevRegKey opens read-only for user mode) lies the key KAVFILTR_COUNTERS_KEY, and in it one key
// per logical unit named by the unit's number in decimal ("0" to "15"). Each value is a REG_QWORD, counted
// from the moment the unit's stack started. Plain text macros in TEXT(): the driver, the Windows programs
// and the host build each include this with their own TEXT.
#pragma once

#define KAVFILTR_COUNTERS_KEY TEXT("Kavfiltr")

// What the function driver asked of the unit: READ(10) and WRITE(10) commands and their bytes.
#define KAVFILTR_CLASS_READ_COMMANDS TEXT("ClassReadCommands")
#define KAVFILTR_CLASS_WRITE_COMMANDS TEXT("ClassWriteCommands")
#define KAVFILTR_CLASS_BYTES_READ TEXT("ClassBytesRead")
#define KAVFILTR_CLASS_BYTES_WRITTEN TEXT("ClassBytesWritten")
// What reached the device for them: READ(10) and WRITE(10) commands and their bytes, the filter's own read-
// aheads and gathered writes included.
#define KAVFILTR_DEVICE_READ_COMMANDS TEXT("DeviceReadCommands")
#define KAVFILTR_DEVICE_WRITE_COMMANDS TEXT("DeviceWriteCommands")
#define KAVFILTR_DEVICE_BYTES_READ TEXT("DeviceBytesRead")
#define KAVFILTR_DEVICE_BYTES_WRITTEN TEXT("DeviceBytesWritten")
// READ(10) commands of the function driver answered from the read-ahead, and their bytes.
#define KAVFILTR_CACHED_READS TEXT("CachedReads")
#define KAVFILTR_CACHED_BYTES TEXT("CachedBytes")
// WRITE(10) pieces gathered into the write buffer instead of going to the device one by one.
#define KAVFILTR_GATHERED_PIECES TEXT("GatheredPieces")
// Read-aheads dropped before any of their data answered a command but the one that made them: read for
// nothing.
#define KAVFILTR_UNUSED_READ_AHEADS TEXT("UnusedReadAheads")
// Transfers the filter answered with a failure: the device's, or a cancel, passed on to the function driver.
#define KAVFILTR_FAILURES_PASSED_ON TEXT("FailuresPassedOn")
// Values of this unit the driver could not store since the stack started (skipped, tried again later).
#define KAVFILTR_FAILED_PUBLISHES TEXT("FailedPublishes")

// Every value name, in the order the driver keeps its counters: an initializer for an array of names.
#define KAVFILTR_COUNTER_NAMES                                                                               \
    {                                                                                                        \
        KAVFILTR_CLASS_READ_COMMANDS, KAVFILTR_CLASS_WRITE_COMMANDS, KAVFILTR_CLASS_BYTES_READ,              \
            KAVFILTR_CLASS_BYTES_WRITTEN, KAVFILTR_DEVICE_READ_COMMANDS, KAVFILTR_DEVICE_WRITE_COMMANDS,     \
            KAVFILTR_DEVICE_BYTES_READ, KAVFILTR_DEVICE_BYTES_WRITTEN, KAVFILTR_CACHED_READS,                \
            KAVFILTR_CACHED_BYTES, KAVFILTR_GATHERED_PIECES, KAVFILTR_UNUSED_READ_AHEADS,                    \
            KAVFILTR_FAILURES_PASSED_ON, KAVFILTR_FAILED_PUBLISHES                                           \
    }
