// A worker in the shape of a driver's: a work semaphore, a stop flag, a semaphore released on the way out.
#pragma once

#include <ntddk.h>

#include <atomic>

struct DriverStyleWorker
{
    KSEMAPHORE work;
    KSEMAPHORE stopped;
    std::atomic<LONG> stop;
    std::atomic<LONG> itemsRun;
};

void DriverStyleThreadRoutine(PVOID context);
