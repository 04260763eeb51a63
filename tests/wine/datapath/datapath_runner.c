// The data-path runner: registers the stick driver and Kavfiltr as kernel services (as an installer would),
// starts the stick driver, and asks it for each workload twice, on stacks without Kavfiltr and on stacks
// with it, then compares: every byte, every request's status, the device commands per MiB moved, and what
// was left behind. Kavfiltr is unloaded at the end and the stick driver stopped. The last line sums it up;
// the exit code is 0 only when every check held.
//   datapath_runner STICK.SYS KAVFILTR.SYS
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "tests/wine/datapath/datapath_protocol.h"

#define MIB (1024.0 * 1024.0)

struct Workload
{
    unsigned int id;
    const char* name;
    // The most device commands per MiB moved that the filtered run may take; 0 when it must take exactly
    // as many as the run without the filter, -1 when only statuses and data are compared.
    double limit;
    // Whether every request's status must be the same with and without the filter.
    int sameStatuses;
    // The most the filtered run may read from the medium per byte asked for (read-ahead it throws away
    // costs the stick's time); 0 when not checked.
    double readLimit;
};

// clang-format off
static const struct Workload Workloads[] = {
    {WorkloadSequentialRead1M, "seqread 1M", 1.05, 1, 1.05},
    {WorkloadSequentialRead64K, "seqread 64K", 1.2, 1, 1.05},
    {WorkloadSequentialWrite1M, "seqwrite 1M", 1.05, 1, 0},
    {WorkloadRandom4KMix, "random 4K mix", 0, 1, 0},
    {WorkloadWriteProtected, "write-protected", -1, 1, 0},
    {WorkloadNoMedium, "no medium", -1, 1, 0},
    // Two streams share the one 1 MiB read-ahead buffer, half each: about two commands per MiB.
    {WorkloadTwoReaders, "two readers 1M", 2.25, 1, 1.05},
    {WorkloadSurpriseRemoval, "surprise removal", -1, 0, 0},
};
// clang-format on

static int Failures;

static void Fail(const char* workload, const char* what)
{
    printf("FAIL %s: %s\n", workload, what);
    ++Failures;
}

static BOOL RegisterDriver(SC_HANDLE manager, const wchar_t* name, const wchar_t* path, SC_HANDLE* service)
{
    *service = CreateServiceW(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL, NULL, NULL);
    if (*service == NULL && GetLastError() == ERROR_SERVICE_EXISTS)
    {
        *service = OpenServiceW(manager, name, SERVICE_ALL_ACCESS);
        if (*service != NULL)
        {
            ChangeServiceConfigW(*service, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                 path, NULL, NULL, NULL, NULL, NULL, NULL);
        }
    }
    if (*service == NULL)
    {
        printf("cannot register %ls: error %lu\n", name, GetLastError());
        return FALSE;
    }
    return TRUE;
}

static double PerMib(unsigned int commands, unsigned long long bytes)
{
    return bytes == 0 ? 0.0 : commands / (bytes / MIB);
}

// The commands that count for a workload: reads for reads, writes for writes, both for a mix.
static unsigned int Commands(const struct Workload* workload, const struct DatapathRunResult* result)
{
    if (workload->id == WorkloadSequentialWrite1M)
    {
        return result->writeCommands;
    }
    if (workload->id == WorkloadRandom4KMix)
    {
        return result->readCommands + result->writeCommands;
    }
    return result->readCommands;
}

static BOOL Run(HANDLE control, unsigned int workload, unsigned int filtered,
                struct DatapathRunResult* result, DWORD* milliseconds)
{
    struct DatapathRunRequest request = {workload, filtered, 20261209};
    printf("run %u %s\n", workload, filtered ? "with Kavfiltr" : "without the filter");
    DWORD returned = 0;
    DWORD started = GetTickCount();
    BOOL ok = DeviceIoControl(control, IOCTL_DATAPATH_RUN, &request, sizeof(request), result, sizeof(*result),
                              &returned, NULL);
    *milliseconds = GetTickCount() - started;
    if (!ok || returned != sizeof(*result))
    {
        printf("run %u (%s) did not come back: error %lu\n", workload, filtered ? "filtered" : "plain",
               GetLastError());
        return FALSE;
    }
    return TRUE;
}

static void PrintRun(const struct Workload* workload, const char* side,
                     const struct DatapathRunResult* result, DWORD milliseconds)
{
    printf("  %-16s %-8s %4u requests %7.2f MiB  %5u reads %5u writes %3u other  %6.2f cmds/MiB  "
           "read %.2f MiB  wrong bytes %u  medium blocks off %u  unfinished %u  %lu ms\n",
           workload->name, side, result->requests, result->bytesRequested / MIB, result->readCommands,
           result->writeCommands, result->otherCommands,
           PerMib(Commands(workload, result), result->bytesRequested), result->bytesReadFromMedium / MIB,
           result->wrongBytes, result->mediumMismatches, result->requestsUnfinished, milliseconds);
    printf("  %-16s %-8s statuses:", "", "");
    for (unsigned int kind = 0; kind < result->statusKinds; ++kind)
    {
        printf(" %#lx x%u", (unsigned long)result->statuses[kind], result->statusCounts[kind]);
    }
    printf("  left: stick %u, Kavfiltr pool %d (peak %u), IRPs %d, threads %d\n", result->stickRequestsLeft,
           result->filterPoolLeft, result->filterPoolPeak, result->filterIrpsLeft, result->filterThreadsLeft);
}

static void CheckRun(const struct Workload* workload, const struct DatapathRunResult* result, int filtered)
{
    char what[160];
    if (!result->built)
    {
        snprintf(what, sizeof(what), "%s stacks not built: step %u failed with %#x",
                 filtered ? "filtered" : "plain", result->setupStep, (unsigned int)result->setupStatus);
        Fail(workload->name, what);
        return;
    }
    if (result->wrongBytes != 0 || result->mediumMismatches != 0)
    {
        snprintf(what, sizeof(what), "%s: %u wrong bytes read, %u medium blocks differ",
                 filtered ? "filtered" : "plain", result->wrongBytes, result->mediumMismatches);
        Fail(workload->name, what);
    }
    if (result->requestsUnfinished != 0)
    {
        snprintf(what, sizeof(what), "%s: %u requests never completed", filtered ? "filtered" : "plain",
                 result->requestsUnfinished);
        Fail(workload->name, what);
    }
    if (result->stickRequestsLeft != 0 ||
        (filtered &&
         (result->filterPoolLeft != 0 || result->filterIrpsLeft != 0 || result->filterThreadsLeft != 0)))
    {
        Fail(workload->name, "requests, pool, IRPs or threads left after removal");
    }
}

static void Compare(const struct Workload* workload, const struct DatapathRunResult* plain,
                    const struct DatapathRunResult* filtered, char* summary, size_t room)
{
    char what[200];
    if (workload->sameStatuses && plain->statusSequence != filtered->statusSequence)
    {
        Fail(workload->name, "a request's status differs from the run without the filter");
    }
    double before = PerMib(Commands(workload, plain), plain->bytesRequested);
    double after = PerMib(Commands(workload, filtered), filtered->bytesRequested);
    if (workload->limit > 0 && after > workload->limit)
    {
        snprintf(what, sizeof(what), "%.2f device commands per MiB, more than %.2f", after, workload->limit);
        Fail(workload->name, what);
    }
    double readPerAsked = filtered->bytesRequested == 0
                              ? 0.0
                              : (double)filtered->bytesReadFromMedium / (double)filtered->bytesRequested;
    if (workload->readLimit > 0 && readPerAsked > workload->readLimit)
    {
        snprintf(what, sizeof(what), "read %.3f bytes from the medium per byte asked for, more than %.2f",
                 readPerAsked, workload->readLimit);
        Fail(workload->name, what);
    }
    if (workload->limit == 0 && Commands(workload, filtered) != Commands(workload, plain))
    {
        snprintf(what, sizeof(what), "%u device commands, %u without the filter",
                 Commands(workload, filtered), Commands(workload, plain));
        Fail(workload->name, what);
    }
    if (workload->id == WorkloadSurpriseRemoval && (filtered->statusKinds < 2 || plain->statusKinds < 2))
    {
        Fail(workload->name, "the requests after the removal did not fail");
    }
    if (workload->limit > 0)
    {
        size_t used = strlen(summary);
        snprintf(summary + used, room - used, "%s%s %.2f -> %.2f", used ? ", " : "", workload->name, before,
                 after);
    }
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
    {
        printf("usage: datapath_runner STICK.SYS KAVFILTR.SYS\n");
        return 2;
    }
    setvbuf(stdout, NULL, _IONBF, 0);
    SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE stick = NULL;
    SC_HANDLE filter = NULL;
    if (manager == NULL || !RegisterDriver(manager, DATAPATH_STICK_SERVICE, argv[1], &stick) ||
        !RegisterDriver(manager, DATAPATH_FILTER_SERVICE, argv[2], &filter))
    {
        return 1;
    }
    if (!StartServiceW(stick, 0, NULL))
    {
        printf("the stick driver did not start: error %lu\n", GetLastError());
        return 1;
    }
    HANDLE control =
        CreateFileW(DATAPATH_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE)
    {
        printf("cannot open the stick driver's control device: error %lu\n", GetLastError());
        return 1;
    }
    char summary[512] = "";
    for (size_t index = 0; index < sizeof(Workloads) / sizeof(Workloads[0]); ++index)
    {
        const struct Workload* workload = &Workloads[index];
        struct DatapathRunResult plain;
        struct DatapathRunResult filtered;
        DWORD plainTime = 0;
        DWORD filteredTime = 0;
        if (!Run(control, workload->id, 0, &plain, &plainTime) ||
            !Run(control, workload->id, 1, &filtered, &filteredTime))
        {
            Fail(workload->name, "the stick driver did not answer (has its process ended?)");
            break;
        }
        PrintRun(workload, "plain", &plain, plainTime);
        PrintRun(workload, "Kavfiltr", &filtered, filteredTime);
        CheckRun(workload, &plain, 0);
        CheckRun(workload, &filtered, 1);
        if (plain.built && filtered.built)
        {
            Compare(workload, &plain, &filtered, summary, sizeof(summary));
        }
    }
    struct DatapathUnloadResult unload;
    DWORD returned = 0;
    if (!DeviceIoControl(control, IOCTL_DATAPATH_UNLOAD_FILTER, NULL, 0, &unload, sizeof(unload), &returned,
                         NULL))
    {
        Fail("unload", "the stick driver did not answer");
    }
    else
    {
        printf("Kavfiltr unloaded: status %#x, its unload routine %s; pool %d, IRPs %d, threads %d left\n",
               (unsigned int)unload.unloadStatus, unload.unloadRoutineRan ? "ran" : "did not run",
               unload.poolLeft, unload.irpsLeft, unload.threadsLeft);
        if (unload.unloadStatus != 0 || !unload.unloadRoutineRan || unload.poolLeft != 0 ||
            unload.irpsLeft != 0 || unload.threadsLeft != 0)
        {
            Fail("unload", "Kavfiltr was not unloaded cleanly");
        }
    }
    CloseHandle(control);
    SERVICE_STATUS status;
    if (!ControlService(stick, SERVICE_CONTROL_STOP, &status))
    {
        printf("the stick driver did not stop: error %lu\n", GetLastError());
    }
    DeleteService(stick);
    DeleteService(filter);
    CloseServiceHandle(stick);
    CloseServiceHandle(filter);
    CloseServiceHandle(manager);
    printf("wine datapath: %s cmds/MiB, %s\n", summary, Failures == 0 ? "all data verified" : "FAILED");
    return Failures == 0 ? 0 : 1;
}
