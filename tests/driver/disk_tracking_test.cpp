// The disk-side record of reads and large writes in flight, which the USB side uses to recognise the
// pieces of a request.
#include "tests/driver/driver_fixture.h"

#include <thread>

namespace
{

using namespace kavtest;
class DiskTrackingTest : public KavfiltrTest
{
protected:
    void SetUp() override
    {
        KavfiltrTest::SetUp();
        diskPdo_ = bus_->CreatePdo(u"USBSTOR", FILE_DEVICE_DISK);
        AddUsbFilterWithChildren({diskPdo_});
        disk_ = AddFilterTo(diskPdo_);
        ASSERT_NE(disk_, nullptr);
    }

    std::shared_ptr<winsim::IrpInFlight> StartHeld(UCHAR major, ULONG length, LONGLONG offset)
    {
        return KavfiltrTest::StartHeld(disk_, major, length, offset, buffer_.data());
    }

    size_t RecordedWrites()
    {
        size_t count = 0;
        for (PVOID item = PoolListFirst(DiskExtension(disk_)->largeWrites); item != nullptr;
             item = PoolListNext(DiskExtension(disk_)->largeWrites))
        {
            ++count;
        }
        return count;
    }

    PDEVICE_OBJECT diskPdo_ = nullptr;
    PDEVICE_OBJECT disk_ = nullptr;
    std::vector<UCHAR> buffer_ = std::vector<UCHAR>(0x20000);
};

TEST_F(DiskTrackingTest, OnlyWritesLongerThan64KiBAreRecordedAndOnlyWhileInFlight)
{
    auto exact = StartHeld(IRP_MJ_WRITE, 65536, 0);
    EXPECT_EQ(RecordedWrites(), 0u);
    bus_->ReleaseHeld();
    exact->Wait();

    winsim::ScopedThreadIdentity requester(reinterpret_cast<HANDLE>(0x40), reinterpret_cast<HANDLE>(0x80));
    auto large = StartHeld(IRP_MJ_WRITE, 65537, 4096);
    ASSERT_EQ(RecordedWrites(), 1u);
    LargeWriteRecord copy = {};
    PVOID record = FindLargeWrite(DiskExtension(disk_), 4096, 65536, reinterpret_cast<HANDLE>(0x4),
                                  reinterpret_cast<HANDLE>(0x8), &copy);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(copy.length, 65537u);
    EXPECT_EQ(copy.byteOffset, 4096u);
    EXPECT_EQ(copy.processId, reinterpret_cast<HANDLE>(0x40));
    EXPECT_EQ(copy.threadId, reinterpret_cast<HANDLE>(0x80));
    EXPECT_TRUE(IsLargeWritePresent(DiskExtension(disk_), record, copy.sequence));
    // The same pool block holding another write is not the write that was matched.
    EXPECT_FALSE(IsLargeWritePresent(DiskExtension(disk_), record, copy.sequence + 1));
    bus_->ReleaseHeld();
    EXPECT_EQ(large->Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(RecordedWrites(), 0u);
    EXPECT_FALSE(IsLargeWritePresent(DiskExtension(disk_), record, copy.sequence));

    // A USB-side user that found the disk before it left may still hold it: the released disk has no
    // records to offer, and its list is not touched.
    DiskRoleRelease(DiskExtension(disk_));
    EXPECT_FALSE(IsLargeWritePresent(DiskExtension(disk_), record, copy.sequence));
    EXPECT_EQ(FindLargeWrite(DiskExtension(disk_), 4096, 65536, nullptr, nullptr, &copy), nullptr);
}

TEST_F(DiskTrackingTest, SearchMatchesOffsetLengthAndRequesterOrder)
{
    winsim::ScopedThreadIdentity requester(reinterpret_cast<HANDLE>(0x40), reinterpret_cast<HANDLE>(0x80));
    auto first = StartHeld(IRP_MJ_WRITE, 0x20000, 0x10000);
    auto second = StartHeld(IRP_MJ_WRITE, 0x18000, 0x10000);
    auto third = StartHeld(IRP_MJ_WRITE, 0x20000, 0x80000);
    DiskFilterExtension* disk = DiskExtension(disk_);
    LargeWriteRecord copy = {};
    auto id = [](ULONG_PTR value) { return reinterpret_cast<HANDLE>(value); };

    EXPECT_EQ(FindLargeWrite(disk, 0x10001, 0x10000, id(0x40), id(0x80), &copy), nullptr);
    EXPECT_EQ(FindLargeWrite(disk, 0x10000, 0x20001, id(0x40), id(0x80), &copy), nullptr);
    EXPECT_EQ(copy.length, 0u); // no match leaves the caller's slot alone
    // The identifiers are an ordering: smaller ones match, larger ones do not.
    PVOID found = FindLargeWrite(disk, 0x10000, 0x20000, id(0x4), id(0x8), &copy);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(copy.length, 0x20000u); // the one appended first
    EXPECT_EQ(FindLargeWrite(disk, 0x80000, 0x10000, id(0x41), id(0x80), &copy), nullptr);
    EXPECT_EQ(copy.length, 0x20000u);

    // A piece seen again at a write's start is a retry: the write it started is not offered a second time,
    // whoever sends it, nor is one whose start a refused requester reached.
    PVOID next = FindLargeWrite(disk, 0x10000, 0x10000, id(0x40), id(0x80), &copy);
    EXPECT_NE(next, found);
    EXPECT_EQ(copy.length, 0x18000u);
    EXPECT_EQ(FindLargeWrite(disk, 0x10000, 0x10000, id(0x4), id(0x8), &copy), nullptr);
    EXPECT_EQ(FindLargeWrite(disk, 0x80000, 0x10000, id(0x40), id(0x80), &copy), nullptr);

    bus_->ReleaseHeld();
    first->Wait();
    second->Wait();
    third->Wait();
}

// Two reads in flight at once, as two readers or the copy engine keep them: each piece is read ahead to the
// end of its own request, whichever request was dispatched last, and a finished request is forgotten.
TEST_F(DiskTrackingTest, EachReadInFlightIsKeptWithItsRangeUntilItCompletes)
{
    DiskFilterExtension* disk = DiskExtension(disk_);
    auto first = StartHeld(IRP_MJ_READ, 0x40000, 0);
    auto second = StartHeld(IRP_MJ_READ, 0x10000, 0x100000);
    EXPECT_EQ(ReadInFlightEnd(disk, 0x10000, 0x10000), 0x40000u);
    EXPECT_EQ(ReadInFlightEnd(disk, 0x100000, 0x10000), 0x110000u);
    EXPECT_EQ(ReadInFlightEnd(disk, 0x30000, 0x20000), 0u) << "a piece reaching past its read";
    EXPECT_EQ(ReadInFlightEnd(disk, 0x40000, 0x10000), 0u);
    bus_->ReleaseHeld();
    first->Wait();
    second->Wait();
    EXPECT_EQ(ReadInFlightEnd(disk, 0, 0x10000), 0u);
    EXPECT_EQ(ReadInFlightEnd(disk, 0x100000, 0x10000), 0u);
}

TEST_F(DiskTrackingTest, WriteWithoutRoomForItsRecordPassesThroughUnrecorded)
{
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    winsim::FailAllocationAt(1);
    auto write = StartHeld(IRP_MJ_WRITE, 0x20000, 0);
    winsim::FailAllocationAt(0);
    EXPECT_EQ(RecordedWrites(), 0u);
    bus_->ReleaseHeld();
    EXPECT_EQ(write->Wait().status, STATUS_SUCCESS);
}
} // namespace
