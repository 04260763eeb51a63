// The simple bus as a lower driver (rules, held requests, bus relations, records) and the object rules
// of device objects and synchronous requests that ride on it.
#include "tests/support/test_filter.h"

using winsim::BugCheckError;
using winsim::BugCheckTrap;
using winsim::CompletionMode;
using winsim::CompletionRule;

namespace
{

using namespace kavtest;

class BusTest : public FilterTest
{
};

TEST_F(BusTest, RulesApplyOneShotThenPerMajorThenDefault)
{
    CompletionRule perMajor;
    perMajor.status = STATUS_DEVICE_NOT_READY;
    bus->SetRule(IRP_MJ_READ, perMajor);
    CompletionRule once;
    once.status = STATUS_IO_TIMEOUT;
    bus->QueueRule(once);
    EXPECT_EQ(STATUS_IO_TIMEOUT, winsim::SendRead(filter, nullptr, 512, 0).status);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, winsim::SendRead(filter, nullptr, 512, 0).status);
    bus->ClearRule(IRP_MJ_READ);
    auto read = winsim::SendRead(filter, nullptr, 512, 0);
    EXPECT_EQ(STATUS_SUCCESS, read.status);
    EXPECT_EQ(512u, read.information) << "the default read transfers everything";
    EXPECT_EQ(STATUS_NOT_SUPPORTED, winsim::SendPnp(filter, IRP_MN_QUERY_ID).status)
        << "a PnP request the bus does not handle keeps its status";
    EXPECT_EQ(STATUS_SUCCESS, winsim::SendPnp(filter, IRP_MN_QUERY_STOP_DEVICE).status);
}

TEST_F(BusTest, HeldRequestsCompleteWhenReleasedAndRecordsShowWhatArrived)
{
    CompletionRule hold;
    hold.mode = CompletionMode::Hold;
    hold.status = STATUS_SUCCESS;
    bus->SetRule(IRP_MJ_WRITE, hold);
    auto first = winsim::StartIrp(filter, [] {
        winsim::IrpRequest request;
        request.major = IRP_MJ_WRITE;
        request.irql = DISPATCH_LEVEL;
        return request;
    }());
    auto second = winsim::StartIrp(filter, [] {
        winsim::IrpRequest request;
        request.major = IRP_MJ_WRITE;
        return request;
    }());
    EXPECT_EQ(2u, bus->HeldCount());
    EXPECT_FALSE(first->Completed());
    bus->ReleaseHeld(STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(STATUS_MEDIA_WRITE_PROTECTED, first->Wait().status);
    EXPECT_EQ(STATUS_PENDING, second->Wait().dispatchStatus);
    auto received = bus->Received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(DISPATCH_LEVEL, received[0].irql);
    EXPECT_EQ(PASSIVE_LEVEL, received[1].irql);
    EXPECT_EQ(pdo, received[0].device);
}

TEST_F(BusTest, BusRelationsAreAnsweredWithAFreshList)
{
    PDEVICE_OBJECT child = bus->CreatePdo(u"USBSTOR");
    bus->SetBusRelations(pdo, {child});
    auto result = winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    ASSERT_EQ(STATUS_SUCCESS, result.status);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
    ASSERT_NE(nullptr, relations);
    ASSERT_EQ(1u, relations->Count);
    EXPECT_EQ(child, relations->Objects[0]);
    ExFreePool(relations);
    auto removal = winsim::SendPnp(filter, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = RemovalRelations;
    });
    EXPECT_EQ(STATUS_NOT_SUPPORTED, removal.status);
}

TEST_F(BusTest, ADeletedDeviceLivesWhileReferencedAndBadReferencesAreCaught)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ASSERT_EQ(filter, top);
    Detach(filter);
    EXPECT_EQ(nullptr, driver->DeviceObject) << "unlinked at once";
    EXPECT_EQ(driver, top->DriverObject) << "still readable: a reference is outstanding";
    ObfDereferenceObject(top);
    BugCheckTrap trap;
    EXPECT_THROW(ObfDereferenceObject(top), BugCheckError) << "the last reference is gone";
    int notAnObject = 0;
    EXPECT_THROW(ObfReferenceObject(&notAnObject), BugCheckError);
    EXPECT_EQ(2u, trap.Count(DRIVER_VERIFIER_DETECTED_VIOLATION));
}

TEST_F(BusTest, SynchronousReadThroughADirectIoStackGetsAnMdl)
{
    pdo->Flags |= DO_DIRECT_IO;
    filter->Flags |= DO_DIRECT_IO;
    CompletionRule rule;
    rule.mode = CompletionMode::Pending;
    rule.action = [](PDEVICE_OBJECT, PIRP irp, NTSTATUS status) {
        auto* data = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        std::memcpy(data, "sector", 6);
        irp->IoStatus.Information = 6;
        return status;
    };
    bus->SetRule(IRP_MJ_READ, rule);
    char buffer[16] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = 1024;
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_READ, filter, buffer, sizeof buffer, &offset, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    ASSERT_NE(nullptr, irp->MdlAddress);
    if (IofCallDriver(filter, irp) == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(6u, iosb.Information);
    EXPECT_STREQ("sector", buffer);
    EXPECT_EQ(1024, bus->Received().back().byteOffset);
    EXPECT_EQ(0u, winsim::OutstandingIrps());
    EXPECT_EQ(0u, winsim::PoolStats(winsim::PoolTag("Mdl ")).outstandingBlocks)
        << "the I/O manager freed the MDL";
}

} // namespace
