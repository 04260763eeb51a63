// The driver's containers: the copied-item list, the page-aligned buffer and the worker thread with its
// queue — order, waiting enqueues, and a stop while work is still queued.
#include "driver/kavfiltr.h"

#include "winsim/kernel/winsim_kernel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
class ContainersTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
        EXPECT_EQ(winsim::RunningSystemThreads(), 0u);
    }

    winsim::ScopedKernel kernel_;
};

std::vector<int>* releasedItems = nullptr;

void RecordRelease(PVOID item, ULONG)
{
    releasedItems->push_back(*static_cast<int*>(item));
}

TEST_F(ContainersTest, PoolListKeepsCopiesAndReleasesThemInOrder)
{
    std::vector<int> released;
    releasedItems = &released;
    const PoolListTemplate listTemplate = {RecordRelease, sizeof(int)};
    EXPECT_EQ(PoolListCreate(&listTemplate, nullptr), STATUS_INVALID_PARAMETER);
    PoolList* list = nullptr;
    ASSERT_EQ(PoolListCreate(&listTemplate, &list), STATUS_SUCCESS);
    EXPECT_EQ(PoolListFirst(list), nullptr);

    PVOID copies[3] = {};
    for (int value = 1; value <= 3; ++value)
    {
        ASSERT_EQ(PoolListAppend(list, &value, sizeof(value), &copies[value - 1]), STATUS_SUCCESS);
        EXPECT_NE(copies[value - 1], &value);
    }
    long long tooLong = 0;
    EXPECT_EQ(PoolListAppend(list, &tooLong, sizeof(tooLong), nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PoolListAppend(nullptr, &tooLong, 1, nullptr), STATUS_INVALID_PARAMETER);

    std::vector<int> walked;
    for (PVOID item = PoolListFirst(list); item != nullptr; item = PoolListNext(list))
    {
        walked.push_back(*static_cast<int*>(item));
    }
    EXPECT_EQ(walked, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list->cursor, nullptr);

    EXPECT_TRUE(PoolListRemove(list, copies[1]));
    EXPECT_FALSE(PoolListRemove(list, copies[1])); // a stale address changes nothing
    int four = 4;
    PoolListAppend(list, &four, sizeof(four), nullptr);
    PoolListDestroy(list);
    EXPECT_EQ(released, (std::vector<int>{1, 3, 4}));
    PoolListDestroy(nullptr);
    releasedItems = nullptr;
}

TEST_F(ContainersTest, PoolListAppendFailureLeavesTheListIntact)
{
    const PoolListTemplate listTemplate = {nullptr, sizeof(int)};
    PoolList* list = nullptr;
    ASSERT_EQ(PoolListCreate(&listTemplate, &list), STATUS_SUCCESS);
    int value = 7;
    PoolListAppend(list, &value, sizeof(value), nullptr);
    winsim::FailAllocationAt(1);
    PVOID copy = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(PoolListAppend(list, &value, sizeof(value), &copy), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(copy, reinterpret_cast<PVOID>(1));
    ASSERT_NE(PoolListFirst(list), nullptr);
    EXPECT_EQ(PoolListNext(list), nullptr);
    PoolListDestroy(list);
}

TEST_F(ContainersTest, AlignedBufferStartsOnAPageWhereverItsBlockLies)
{
    AlignedBuffer buffer = {};
    EXPECT_EQ(AlignedBufferInitialize(nullptr, 4096), STATUS_INVALID_PARAMETER);
    for (ULONG offset : {0u, 16u, 4080u})
    {
        winsim::SetNextAllocationOffset(offset);
        ASSERT_EQ(AlignedBufferInitialize(&buffer, 0x100000), STATUS_SUCCESS);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(buffer.data) % 4096, 0u);
        EXPECT_GE(buffer.data, static_cast<PUCHAR>(buffer.allocation));
        EXPECT_LT(buffer.data, static_cast<PUCHAR>(buffer.allocation) + 4096);
        if (offset == 0)
        {
            EXPECT_EQ(buffer.data, buffer.allocation);
        }
        EXPECT_EQ(buffer.capacity, 0x100000u);
        EXPECT_EQ(buffer.length, 0u);
        buffer.data[buffer.capacity - 1] = 1; // the whole capacity is usable
    }
    EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 1u); // re-initialising released the old
    winsim::FailAllocationAt(1);
    EXPECT_EQ(AlignedBufferInitialize(&buffer, 4096), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(buffer.allocation, nullptr);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(buffer.capacity, 0u);
    AlignedBufferRelease(&buffer);
}

struct Recorder
{
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> maxRunning{0};
    KEVENT gate;
};

struct Job
{
    Recorder* recorder;
    int number;
    bool waitAtGate;
};

void RunJob(WorkerThread*, WorkItem* item)
{
    auto* job = static_cast<Job*>(item->context);
    int running = ++job->recorder->running;
    int seen = job->recorder->maxRunning.load();
    while (running > seen && !job->recorder->maxRunning.compare_exchange_weak(seen, running))
    {
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    if (job->waitAtGate)
    {
        KeWaitForSingleObject(&job->recorder->gate, Executive, KernelMode, FALSE, nullptr);
    }
    {
        std::lock_guard<std::mutex> guard(job->recorder->lock);
        job->recorder->order.push_back(job->number);
    }
    --job->recorder->running;
}

TEST_F(ContainersTest, WorkerRunsItemsOneAtATimeInQueueOrderAndWaitingEnqueueReturnsAfterTheHandler)
{
    Recorder recorder;
    KeInitializeEvent(&recorder.gate, NotificationEvent, FALSE);
    WorkerThread* worker = nullptr;
    ASSERT_EQ(StartWorker(&worker, nullptr, nullptr), STATUS_SUCCESS);
    std::vector<Job> jobs;
    jobs.reserve(20);
    jobs.push_back({&recorder, 0, true});
    for (int number = 1; number < 20; ++number)
    {
        jobs.push_back({&recorder, number, false});
    }
    // Enqueued at DISPATCH_LEVEL as the URB path does; the first job holds the others back.
    winsim::RunAtDispatch([&] {
        for (int number = 0; number < 19; ++number)
        {
            WorkItem itemTemplate = {RunJob, 0, 0, &jobs[number], {}};
            ASSERT_EQ(EnqueueWork(worker, &itemTemplate), STATUS_SUCCESS);
        }
    });
    KeSetEvent(&recorder.gate, IO_NO_INCREMENT, FALSE);
    WorkItem last = {RunJob, 1, 0, &jobs[19], {}};
    ASSERT_EQ(EnqueueWork(worker, &last), STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> guard(recorder.lock);
        ASSERT_EQ(recorder.order.size(), 20u); // the waiting enqueue came back after its own handler
        for (int number = 0; number < 20; ++number)
        {
            EXPECT_EQ(recorder.order[number], number);
        }
    }
    EXPECT_EQ(recorder.maxRunning.load(), 1);
    EXPECT_EQ(EnqueueWork(worker, nullptr), STATUS_INVALID_PARAMETER);
    StopWorker(worker);
}

TEST_F(ContainersTest, StopWithItemsStillQueuedDropsThemAndEndsTheThread)
{
    Recorder recorder;
    KeInitializeEvent(&recorder.gate, NotificationEvent, FALSE);
    WorkerThread* worker = nullptr;
    ASSERT_EQ(StartWorker(&worker, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(winsim::RunningSystemThreads(), 1u);
    Job blocker{&recorder, 0, true};
    Job dropped{&recorder, 1, false};
    WorkItem first = {RunJob, 0, 0, &blocker, {}};
    WorkItem second = {RunJob, 0, 0, &dropped, {}};
    ASSERT_EQ(EnqueueWork(worker, &first), STATUS_SUCCESS);
    while (recorder.running.load() == 0)
    {
        std::this_thread::yield();
    }
    ASSERT_EQ(EnqueueWork(worker, &second), STATUS_SUCCESS);
    // The stop request reaches the thread after the running item; the queued one never runs.
    std::thread stopper([&] { StopWorker(worker); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KeSetEvent(&recorder.gate, IO_NO_INCREMENT, FALSE);
    stopper.join();
    std::lock_guard<std::mutex> guard(recorder.lock);
    EXPECT_EQ(recorder.order, std::vector<int>{0});
    EXPECT_EQ(winsim::OpenHandleCount(), 0u);
    StopWorker(nullptr);
}

TEST_F(ContainersTest, WorkerStartFailuresLeaveNothingBehind)
{
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    for (ULONG n = 1; n <= 2; ++n)
    {
        winsim::FailAllocationAt(n);
        WorkerThread* worker = nullptr;
        EXPECT_EQ(StartWorker(&worker, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(worker, nullptr);
        EXPECT_EQ(winsim::RunningSystemThreads(), 0u);
    }
    winsim::FailAllocationAt(0);
}
} // namespace
