// Transport tracking on the USB node: the phases the filter follows, the pipes and capacities it learns,
// and garbage from the function driver or the device that must pass through untouched.
#include "tests/driver/transport_fixture.h"

#include <atomic>
#include <thread>

namespace
{

using namespace kavtest;
using TransportTrackingTest = TransportTest;

TEST_F(TransportTrackingTest, LearnsBulkPipesFromTheSelectedConfigurationAndInterface)
{
    UsbFilterExtension* extension = UsbExtension(filter_);
    EXPECT_EQ(extension->bulkInPipe, in_);
    EXPECT_EQ(extension->bulkOutPipe, out_);

    // Unconfiguring carries no interface: the handles stay.
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    Submit(unconfigure);
    EXPECT_EQ(extension->bulkInPipe, in_);
    EXPECT_EQ(extension->bulkOutPipe, out_);

    // Selecting the interface hands its pipes out again, and they are learned from that answer as well.
    Configure();
    extension->bulkInPipe = extension->bulkOutPipe = nullptr;
    const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(3);
    std::vector<uint8_t> storage(std::max(size, sizeof(URB)), 0);
    auto* select = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectInterfaceRequest(select, USHORT(size), configuration_, 0, 0);
    select->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(3);
    ASSERT_EQ(Submit(*select), STATUS_SUCCESS);
    EXPECT_EQ(extension->bulkInPipe, in_);
    EXPECT_EQ(extension->bulkOutPipe, out_);
}

// Port requests and a URB request that carries no URB are the bus's to answer: through the filter they get
// what the bus gives without it.
TEST_F(TransportTrackingTest, RequestsThatCarryNoUrbGetTheBussOwnAnswer)
{
    for (PDEVICE_OBJECT device : {usbPdo_, filter_})
    {
        SCOPED_TRACE(device == filter_ ? "through the filter" : "without the filter");
        EXPECT_EQ(winsim::SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr).status,
                  STATUS_INVALID_PARAMETER);
        ULONG port = 0;
        EXPECT_EQ(winsim::SendInternalDeviceControl(device, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    }
    EXPECT_TRUE(TestUnitReady().Passed(tag_));
}

TEST_F(TransportTrackingTest, PhasesFollowTheWrappersTheDataAndTheStatus)
{
    UsbFilterExtension* extension = UsbExtension(filter_);
    uint8_t junk[31] = {};
    URB stray = Bulk(out_, junk, sizeof(junk), 0);
    Submit(stray); // not a command wrapper while a command is expected: tracking resets
    EXPECT_EQ(extension->currentPhase, PhaseNone);
    EXPECT_EQ(extension->botState, PhaseCommand);
    EXPECT_EQ(extension->currentCdb, nullptr);

    // A command without data is followed by its status.
    wu::CommandBlockWrapper tur = wu::MakeCbw(7, 0, false, 0, std::vector<uint8_t>(6).data(), 6);
    URB command = Bulk(out_, &tur, wu::kCbwLength, 0);
    Submit(command);
    EXPECT_EQ(extension->currentPhase, PhaseCommand);
    EXPECT_EQ(extension->botState, PhaseStatus);
    wu::CommandStatusWrapper wrapper{};
    URB status = Bulk(in_, &wrapper, wu::kCswLength, USBD_TRANSFER_DIRECTION_IN);
    Submit(status);
    EXPECT_EQ(extension->currentPhase, PhaseStatus);
    EXPECT_EQ(extension->botState, PhaseCommand);

    // A 31-byte data transfer that starts like a wrapper restarts tracking as a new command.
    std::vector<uint8_t> cdb = Cdb10(0x2A, 0, 1);
    wu::CommandBlockWrapper write = wu::MakeCbw(8, 512, false, 0, cdb.data(), 10);
    URB writeCommand = Bulk(out_, &write, wu::kCbwLength, 0);
    Submit(writeCommand);
    EXPECT_EQ(extension->botState, PhaseData);
    wu::CommandBlockWrapper lookalike = wu::MakeCbw(9, 0, false, 0, cdb.data(), 10);
    URB data = Bulk(out_, &lookalike, wu::kCbwLength, 0);
    Submit(data);
    EXPECT_EQ(extension->currentPhase, PhaseCommand);
    EXPECT_EQ(CommandTag(extension->currentCbw), 9u);
}

TEST_F(TransportTrackingTest, CapacityIsLearnedFromEveryReadCapacityAnswer)
{
    ASSERT_TRUE(ReadCapacity().Passed(tag_));
    LunContext* unit = Unit();
    ASSERT_NE(unit, nullptr);
    EXPECT_EQ(unit->lastLba, kBlocks - 1);
    EXPECT_EQ(unit->blockLength, 512u);
    EXPECT_TRUE(IsUnitUsable(unit));
    EXPECT_NE(unit->readAheadBuffer, nullptr);
    EXPECT_NE(unit->writeBuffer, nullptr);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(unit->readAheadBuffer->data) % 4096, 0u);

    // An answer shorter than 8 bytes teaches nothing.
    unit->lastLba = 5;
    wu::FaultRule shortAnswer;
    shortAnswer.kind = wu::FaultKind::ShortData;
    shortAnswer.when.opcode = 0x25;
    shortAnswer.bytes = 4;
    device_->AddFault(shortAnswer);
    ReadCapacity();
    EXPECT_EQ(Unit()->lastLba, 5u);
}

// Taking a transfer over needs no pool: with none left, a piece of a large write is still gathered and a
// read still read ahead, and the device's removal is not held up.
TEST_F(TransportTrackingTest, TakeOverWithoutPoolStillWorksAndKeepsNoLock)
{
    ReadCapacity();
    std::vector<uint8_t> data;
    Read10(1000, 128, data);
    NewCommands();
    auto write = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    winsim::FailEveryNthAllocation(1);
    Exchange read = Read10(1128, 128, data);
    std::vector<uint8_t> piece(128 * 512, 0x5A);
    Exchange gathered = Write10(0, 128, piece);
    winsim::FailEveryNthAllocation(0);
    EXPECT_TRUE(read.Passed(tag_ - 1));
    EXPECT_TRUE(gathered.Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 1128, 2048}}));
    bus_->ReleaseHeld();
    write->Wait();
    // With the slot busy as well, a read the cache holds goes down as it came.
    UsbExtension(filter_)->embeddedInUse = 1;
    winsim::FailEveryNthAllocation(1);
    read = Read10(1256, 128, data);
    winsim::FailEveryNthAllocation(0);
    UsbExtension(filter_)->embeddedInUse = 0;
    EXPECT_TRUE(read.Passed(tag_));
    EXPECT_EQ(NewCommands(), (Commands{{0x28, 1256, 128}}));
    EXPECT_EQ(winsim::SendPnp(filter_, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// A unit gets its context only with both of its buffers: with either missing, the other goes back and the
// unit's transfers, a write among them, pass down until a later command finds memory for both.
TEST_F(TransportTrackingTest, AUnitWithoutRoomForBothBuffersHasNoContextAndKeepsNone)
{
    UsbFilterExtension* extension = UsbExtension(filter_);
    for (ULONG* missing : {&extension->readBufferCapacity, &extension->writeBufferCapacity})
    {
        ASSERT_EQ(FindLunContext(extension, 0), nullptr);
        const size_t blocks = winsim::PoolOutstandingBlocks();
        // The missing buffer is told from the other by its size.
        *missing = LUN_BUFFER_CAPACITY / 2;
        winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
        winsim::SetPoolFailureSize(SIZE_T(*missing) + PAGE_SIZE);
        winsim::FailEveryNthAllocation(1);
        std::vector<uint8_t> data(128 * 512, 0x5C);
        EXPECT_TRUE(Write10(0, 128, data).Passed(tag_));
        EXPECT_TRUE(Read10(0, 128, data).Passed(tag_));
        EXPECT_EQ(FindLunContext(extension, 0), nullptr);
        winsim::FailEveryNthAllocation(0);
        winsim::SetPoolFailureSize(0);
        EXPECT_GE(winsim::InjectedPoolFailures(), 1u);
        EXPECT_EQ(winsim::PoolOutstandingBlocks(), blocks);
        *missing = LUN_BUFFER_CAPACITY;
    }
    ASSERT_NE(Unit(), nullptr);
    EXPECT_NE(Unit()->readAheadBuffer, nullptr);
    EXPECT_NE(Unit()->writeBuffer, nullptr);
}

// Where the worker cannot be given a piece of a large write (its reserved slot busy, and no pool for a work
// context or for the worker's item), the piece fails in its URB as in its IRP and counts as a failure passed
// on: it is never acknowledged, and it never goes down as it came, since the device would then take its
// data as a command. The same holds for the data of a piece whose wrapper the worker did take.
TEST_F(TransportTrackingTest, APieceTheWorkerCannotTakeFailsAndNeverGoesDown)
{
    ReadCapacity();
    auto write = HoldOnDisk(IRP_MJ_WRITE, 0x20000, 0);
    for (ULONG failEvery : {1u, 2u, 3u})
    {
        SCOPED_TRACE(failEvery);
        NewCommands();
        UsbExtension(filter_)->embeddedInUse = 1;
        winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
        winsim::FailEveryNthAllocation(failEvery);
        std::vector<uint8_t> piece(128 * 512, 0x5A);
        const LONG64 failures = Unit()->counters.value[CounterFailuresPassedOn];
        Exchange gathered = Write10(0, 128, piece);
        winsim::FailEveryNthAllocation(0);
        UsbExtension(filter_)->embeddedInUse = 0;
        EXPECT_FALSE(gathered.Passed(tag_));
        EXPECT_TRUE(gathered.urbsAgree);
        EXPECT_EQ(Unit()->counters.value[CounterFailuresPassedOn], failures + 1);
        EXPECT_EQ(NewCommands(), Commands{});
    }
    {
        std::vector<uint8_t> piece(128 * 512, 0x5A);
        wu::CommandBlockWrapper cbw =
            wu::MakeCbw(++tag_, uint32_t(piece.size()), false, 0, Cdb10(0x2A, 0, 128).data(), 10);
        URB command = Bulk(out_, &cbw, wu::kCbwLength, 0);
        ASSERT_EQ(Submit(command), STATUS_SUCCESS);
        UsbExtension(filter_)->embeddedInUse = 1;
        winsim::FailEveryNthAllocation(1);
        URB data = Bulk(out_, piece.data(), uint32_t(piece.size()), 0);
        EXPECT_EQ(Submit(data), STATUS_INSUFFICIENT_RESOURCES)
            << "not a cancel the function driver never asked for";
        winsim::FailEveryNthAllocation(0);
        UsbExtension(filter_)->embeddedInUse = 0;
        EXPECT_EQ(data.UrbHeader.Status, USBD_STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(device_->InvalidCommandWrappers(), 0u) << "the data reached a device waiting for a wrapper";
        Recover();
    }
    // With pool to spare the busy slot costs nothing: the piece is gathered through an allocated item.
    UsbExtension(filter_)->embeddedInUse = 1;
    std::vector<uint8_t> piece(128 * 512, 0x5B);
    EXPECT_TRUE(Write10(0, 128, piece).Passed(tag_));
    UsbExtension(filter_)->embeddedInUse = 0;
    EXPECT_EQ(NewCommands(), Commands{});
    bus_->ReleaseHeld();
    write->Wait();
}

// The function driver's recovery (a port reset empties every cache) can run on its own thread while the
// worker looks up a unit: the two walks of the unit list must not disturb each other, or a unit is
// missed and a second context, with another 2 MiB of buffers, is appended for it.
TEST_F(TransportTrackingTest, ResetsOnAnotherThreadNeverHideOrDuplicateAUnit)
{
    UsbFilterExtension* extension = UsbExtension(filter_);
    std::vector<LunContext*> units;
    for (UCHAR lun = 0; lun < 4; ++lun)
    {
        units.push_back(GetLunContext(extension, lun));
        ASSERT_NE(units.back(), nullptr);
    }
    std::atomic<bool> done{false};
    std::atomic<int> resetCount{0};
    std::thread resets([&] {
        while (!done)
        {
            winsim::SendInternalDeviceControl(top_, IOCTL_INTERNAL_USB_RESET_PORT, nullptr);
            ++resetCount;
        }
    });
    for (int round = 0; resetCount < 2000; ++round)
    {
        UCHAR lun = UCHAR(round % 4);
        if (GetLunContext(extension, lun) != units[lun])
        {
            ADD_FAILURE() << "unit " << int(lun) << " was not found in round " << round;
            break;
        }
    }
    done = true;
    resets.join();
    size_t contexts = 0;
    for (PVOID item = PoolListFirst(extension->lunContexts); item != nullptr;
         item = PoolListNext(extension->lunContexts))
    {
        ++contexts;
    }
    EXPECT_EQ(contexts, 4u);
}

} // namespace
