// What the runner (user mode) and the stick driver (kernel mode, under Wine's ntoskrnl) say to each other
// through the stick driver's control device: one request per run of one workload on a freshly built pair
// of stacks, with or without Kavfiltr in them, answered with what the stick saw and what the requests got.
#pragma once

#define DATAPATH_CONTROL_NAME L"\\Device\\KavDatapathControl"
#define DATAPATH_CONTROL_LINK L"\\DosDevices\\KavDatapathControl"
#define DATAPATH_CONTROL_PATH L"\\\\.\\KavDatapathControl"
#define DATAPATH_STICK_SERVICE L"KavDatapathStick"
#define DATAPATH_FILTER_SERVICE L"Kavfiltr"

// Buffered, any access: the harness is a test-only driver in a throw-away Wine prefix.
#define DATAPATH_CTL(function) (((0x22) << 16) | ((function) << 2))
#define IOCTL_DATAPATH_RUN DATAPATH_CTL(0x801)
#define IOCTL_DATAPATH_UNLOAD_FILTER DATAPATH_CTL(0x802)

enum DatapathWorkload
{
    WorkloadSequentialRead1M = 1,
    WorkloadSequentialRead64K,
    WorkloadSequentialWrite1M,
    WorkloadRandom4KMix,
    WorkloadWriteProtected,
    WorkloadNoMedium,
    WorkloadSurpriseRemoval,
    WorkloadTwoReaders,
};

struct DatapathRunRequest
{
    unsigned int workload;
    unsigned int filtered;
    unsigned int seed;
};

// At most this many distinct request statuses are reported per run, each with how often it came back.
#define DATAPATH_STATUS_KINDS 4

struct DatapathRunResult
{
    // Set up: the stacks were built and started as asked (0 when a step failed, see setupStep/setupStatus).
    unsigned int built;
    unsigned int setupStep;
    int setupStatus;
    // What the application side sent and got.
    unsigned int requests;
    unsigned long long bytesRequested;
    unsigned int requestsUnfinished;
    unsigned int wrongBytes;
    unsigned int mediumMismatches;
    unsigned int statusKinds;
    int statuses[DATAPATH_STATUS_KINDS];
    unsigned int statusCounts[DATAPATH_STATUS_KINDS];
    // A hash of every request's status in issue order: equal runs with and without the filter agree.
    unsigned long long statusSequence;
    // What the stick saw: device commands by kind, and its bytes moved.
    unsigned int readCommands;
    unsigned int writeCommands;
    unsigned int otherCommands;
    unsigned long long bytesReadFromMedium;
    unsigned long long bytesWrittenToMedium;
    // Left after the stacks were removed: requests still held by the stick, and, counted at Kavfiltr's
    // imports, its pool blocks, IRPs and system threads still alive.
    unsigned int stickRequestsLeft;
    int filterPoolLeft;
    int filterIrpsLeft;
    int filterThreadsLeft;
    unsigned int filterPoolPeak;
    unsigned int elapsedMilliseconds;
};

struct DatapathUnloadResult
{
    int unloadStatus;
    unsigned int unloadRoutineRan;
    int poolLeft;
    int irpsLeft;
    int threadsLeft;
};
