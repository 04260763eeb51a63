// Plug and Play on a filter device: the state table with its cancel rules, a start that the lower driver
// completes later, removal that waits for requests in flight, the paging flag of usage notifications and
// the bus-relations copy that decides which disks are filtered.
#include "tests/driver/driver_fixture.h"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

namespace
{

using namespace kavtest;
using PnpTest = KavfiltrTest;

void SetRelationType(PIO_STACK_LOCATION stack, DEVICE_RELATION_TYPE type)
{
    stack->Parameters.QueryDeviceRelations.Type = type;
}

TEST_F(PnpTest, StateTableAndCancelRules)
{
    PDEVICE_OBJECT filter = AddFilter(u"USB");
    FilterExtension* extension = Extension(filter);
    EXPECT_EQ(winsim::SendPnp(filter, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(extension->pnpState, Started);

    // A cancel in any other state than its own pending one changes nothing but still succeeds.
    EXPECT_EQ(winsim::SendPnp(filter, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(extension->pnpState, Started);
    EXPECT_EQ(winsim::SendPnp(filter, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
    EXPECT_EQ(extension->pnpState, Started);

    winsim::SendPnp(filter, IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(extension->pnpState, StopPending);
    winsim::SendPnp(filter, IRP_MN_CANCEL_STOP_DEVICE);
    EXPECT_EQ(extension->pnpState, Started);

    winsim::SendPnp(filter, IRP_MN_QUERY_STOP_DEVICE);
    winsim::SendPnp(filter, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(extension->pnpState, Stopped);
    EXPECT_EQ(extension->previousPnpState, StopPending);
    winsim::SendPnp(filter, IRP_MN_START_DEVICE);
    EXPECT_EQ(extension->pnpState, Started);

    winsim::SendPnp(filter, IRP_MN_QUERY_REMOVE_DEVICE);
    EXPECT_EQ(extension->pnpState, RemovePending);
    winsim::SendPnp(filter, IRP_MN_CANCEL_REMOVE_DEVICE);
    EXPECT_EQ(extension->pnpState, Started);

    winsim::SendPnp(filter, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(extension->pnpState, SurpriseRemoved);

    // Minor functions without a row keep the status the lower driver gives them.
    EXPECT_EQ(winsim::SendPnp(filter, IRP_MN_QUERY_CAPABILITIES).status,
              winsim::SendPnp(bus_->CreatePdo(u"USB"), IRP_MN_QUERY_CAPABILITIES).status);
}

TEST_F(PnpTest, StartWaitsForALowerDriverThatPendsAndTakesItsResult)
{
    PDEVICE_OBJECT pdo = bus_->CreatePdo(u"USB", FILE_DEVICE_UNKNOWN, FILE_REMOVABLE_MEDIA);
    PDEVICE_OBJECT filter = AddFilterTo(pdo);
    filter->Characteristics &= ~static_cast<ULONG>(FILE_REMOVABLE_MEDIA);

    winsim::CompletionRule failing;
    failing.mode = winsim::CompletionMode::Pending;
    failing.status = STATUS_DEVICE_NOT_READY;
    failing.delay = std::chrono::milliseconds(20);
    bus_->QueueRule(failing);
    winsim::IrpResult result = winsim::SendPnp(filter, IRP_MN_START_DEVICE);
    EXPECT_EQ(result.status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(result.dispatchStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Extension(filter)->pnpState, NotStarted);

    winsim::CompletionRule later = failing;
    later.status = STATUS_SUCCESS;
    bus_->QueueRule(later);
    result = winsim::SendPnp(filter, IRP_MN_START_DEVICE);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(Extension(filter)->pnpState, Started);
    EXPECT_NE(filter->Characteristics & FILE_REMOVABLE_MEDIA, 0u);
}

// Requests forwarded with a completion routine keep the remove lock until they complete; removal waits
// for them before the device and its resources go away.
TEST_F(PnpTest, RemovalWaitsForRequestsInFlight)
{
    PDEVICE_OBJECT diskPdo = bus_->CreatePdo(u"USBSTOR");
    AddUsbFilterWithChildren({diskPdo});
    PDEVICE_OBJECT disk = AddFilterTo(diskPdo);
    winsim::CompletionRule hold;
    hold.mode = winsim::CompletionMode::Hold;
    bus_->SetRule(IRP_MJ_READ, hold);
    std::vector<UCHAR> data(512);
    winsim::IrpRequest read;
    read.major = IRP_MJ_READ;
    read.userBuffer = data.data();
    read.setup = [](PIO_STACK_LOCATION stack) { stack->Parameters.Read.Length = 512; };
    auto inFlight = winsim::StartIrp(disk, read);
    ASSERT_EQ(bus_->HeldCount(), 1u);

    std::atomic<bool> removed{false};
    std::thread remover([&] {
        winsim::SendPnp(disk, IRP_MN_REMOVE_DEVICE);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    EXPECT_TRUE(IsAlive(disk));
    bus_->ReleaseHeld();
    remover.join();
    EXPECT_TRUE(removed.load());
    EXPECT_EQ(inFlight->Wait().status, STATUS_SUCCESS);
    EXPECT_FALSE(IsAlive(disk));
}

TEST_F(PnpTest, UsageNotificationFollowsThePagingFlagOfTheDevicesAroundIt)
{
    PDEVICE_OBJECT pdo = bus_->CreatePdo(u"USB");
    PDEVICE_OBJECT filter = AddFilterTo(pdo);
    pdo->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
    filter->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);

    // Nothing above the filter: set on the way down, cleared again because the device below lacks it.
    winsim::CompletionRule observe;
    ULONG flagsSeenBelow = 0;
    observe.action = [&](PDEVICE_OBJECT, PIRP, NTSTATUS status) {
        flagsSeenBelow = filter->Flags;
        return status;
    };
    bus_->QueueRule(observe);
    winsim::SendPnp(filter, IRP_MN_DEVICE_USAGE_NOTIFICATION);
    EXPECT_NE(flagsSeenBelow & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(filter->Flags & DO_POWER_PAGABLE, 0u);

    // The device below pageable: the flag stays.
    pdo->Flags |= DO_POWER_PAGABLE;
    winsim::SendPnp(filter, IRP_MN_DEVICE_USAGE_NOTIFICATION);
    EXPECT_NE(filter->Flags & DO_POWER_PAGABLE, 0u);
}

TEST_F(PnpTest, BusRelationsCopyIsReplacedOnlyBySuccessfulLists)
{
    PDEVICE_OBJECT usbPdo = bus_->CreatePdo(u"USB");
    PDEVICE_OBJECT filter = AddFilterTo(usbPdo);
    UsbFilterExtension* extension = UsbExtension(filter);
    PDEVICE_OBJECT first = bus_->CreatePdo(u"USBSTOR");
    PDEVICE_OBJECT second = bus_->CreatePdo(u"USBSTOR");
    auto queryBus = [&] {
        return winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS,
                               [](PIO_STACK_LOCATION stack) { SetRelationType(stack, BusRelations); });
    };
    EXPECT_EQ(extension->busRelations, nullptr);

    bus_->SetBusRelations(usbPdo, {first, second});
    winsim::IrpResult result = queryBus();
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_NE(extension->busRelations, nullptr);
    ASSERT_EQ(extension->busRelations->Count, 2u);
    EXPECT_EQ(extension->busRelations->Objects[0], first);
    EXPECT_EQ(extension->busRelations->Objects[1], second);
    ExFreePool(reinterpret_cast<PVOID>(result.information)); // the list itself belongs to the requester

    // A failed query leaves the copy in place.
    winsim::CompletionRule failing;
    failing.status = STATUS_INSUFFICIENT_RESOURCES;
    bus_->QueueRule(failing);
    EXPECT_EQ(queryBus().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension->busRelations->Count, 2u);
    // So does a success that carries no list: a driver below that has none to give leaves none.
    bus_->QueueRule(winsim::CompletionRule{});
    EXPECT_EQ(queryBus().status, STATUS_SUCCESS);
    EXPECT_EQ(extension->busRelations->Count, 2u);

    // Other relation types are not captured.
    winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS,
                    [](PIO_STACK_LOCATION stack) { SetRelationType(stack, RemovalRelations); });
    EXPECT_EQ(extension->busRelations->Count, 2u);

    // An empty list replaces the copy entirely: the disks that were children are no longer filtered.
    bus_->SetBusRelations(usbPdo, {});
    result = queryBus();
    ASSERT_NE(extension->busRelations, nullptr);
    EXPECT_EQ(extension->busRelations->Count, 0u);
    ExFreePool(reinterpret_cast<PVOID>(result.information));
    EXPECT_EQ(AddFilterTo(first), nullptr);
}

// The requests a filter must answer for itself leave it with success set, whatever the driver below does
// not set: a bus that leaves a request it does not handle as it came passes that success on.
TEST_F(PnpTest, RequestsTheFilterAnswersForItselfCarrySuccessDown)
{
    PDEVICE_OBJECT filter = AddFilter(u"USB");
    ASSERT_EQ(winsim::SendPnp(filter, IRP_MN_START_DEVICE).status, STATUS_SUCCESS);
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                        IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL})
    {
        SCOPED_TRACE(int(minor));
        winsim::CompletionRule asItCame;
        asItCame.action = [](PDEVICE_OBJECT, PIRP irp, NTSTATUS) { return irp->IoStatus.Status; };
        bus_->QueueRule(asItCame);
        EXPECT_EQ(winsim::SendPnp(filter, minor).status, STATUS_SUCCESS);
    }
}

// A disk is looked up in the copy of its parent's list within the list's end, which special pool puts at
// the end of a page: one entry past it would fault. Found, it joins its parent's table until its removal.
TEST_F(PnpTest, ADiskIsLookedUpWithinTheCopiedList)
{
    winsim::SetSpecialPoolTag(KAVFILTR_POOL_TAG);
    PDEVICE_OBJECT usbPdo = bus_->CreatePdo(u"USB");
    PDEVICE_OBJECT filter = AddFilterTo(usbPdo);
    PDEVICE_OBJECT child = bus_->CreatePdo(u"USBSTOR");
    PDEVICE_OBJECT stranger = bus_->CreatePdo(u"USBSTOR");
    bus_->SetBusRelations(usbPdo, {child});
    winsim::IrpResult result =
        winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS,
                        [](PIO_STACK_LOCATION stack) { SetRelationType(stack, BusRelations); });
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ExFreePool(reinterpret_cast<PVOID>(result.information));
    EXPECT_EQ(AddFilterTo(stranger), nullptr);
    PDEVICE_OBJECT disk = AddFilterTo(child);
    ASSERT_NE(disk, nullptr);
    winsim::SetSpecialPoolTag(0);

    // The disk joins its parent's table, and leaves it when it is removed.
    UsbFilterExtension* usb = UsbExtension(filter);
    EXPECT_EQ(DiskExtension(disk)->usbParent, usb);
    EXPECT_EQ(std::count(std::begin(usb->disks), std::end(usb->disks), DiskExtension(disk)), 1);
    winsim::SendPnp(disk, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(std::count(std::begin(usb->disks), std::end(usb->disks), nullptr), MAX_LUNS);
}

TEST_F(PnpTest, RequestsPassThroughUnderTheRemoveLockAndFailOnceRemovalStarted)
{
    PDEVICE_OBJECT filter = AddFilter(u"USB");
    winsim::IrpRequest create;
    create.major = IRP_MJ_CREATE;
    EXPECT_EQ(winsim::SendIrp(filter, create).status, STATUS_SUCCESS);
    winsim::IrpRequest power;
    power.major = IRP_MJ_POWER;
    power.minor = IRP_MN_QUERY_POWER;
    EXPECT_EQ(winsim::SendIrp(filter, power).status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->Received().size(), 2u);

    IoAcquireRemoveLock(&Extension(filter)->removeLock, nullptr);
    std::thread remover([&] { winsim::SendPnp(filter, IRP_MN_REMOVE_DEVICE); });
    // Once removal has begun, the remove lock refuses new requests.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (winsim::SendIrp(filter, create).status != STATUS_DELETE_PENDING)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            ADD_FAILURE() << "removal never started";
            break;
        }
        std::this_thread::yield();
    }
    EXPECT_EQ(winsim::SendIrp(filter, power).status, STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&Extension(filter)->removeLock, nullptr);
    remover.join();
}
} // namespace
