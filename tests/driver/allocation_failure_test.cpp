// Pool exhaustion at every allocation of a scenario with read-ahead and write coalescing: the N-th
// allocation of the driver fails, for N = 1, 2, … until a run gets through without reaching N. At every
// N: no crash or verifier stop, nothing left in pool after removal, and no read or write that reports
// success with wrong data.
#include "tests/driver/transport_fixture.h"

namespace
{

using namespace kavtest;
class AllocationFailureTest : public TransportTest
{
protected:
    void SetUp() override { KavfiltrTest::SetUp(); }

    // Sequential 64 KiB reads that open a read-ahead sequence; each either fails or returns the medium.
    void ReadSequentially(uint32_t lba, uint32_t reads)
    {
        for (uint32_t i = 0; i < reads; ++i)
        {
            std::vector<uint8_t> data;
            Exchange result = Read10(lba + i * 128, 128, data);
            if (result.Passed(tag_))
            {
                ASSERT_TRUE(data == Medium(lba + i * 128, 128)) << "read at " << lba + i * 128;
            }
        }
    }

    // A large write in pieces, each retried as the disk class would; the request ends in success only
    // when every piece passed, and then all of it must be on the medium.
    void WriteLarge(uint32_t lba, uint32_t pieces, uint8_t salt)
    {
        auto request = HoldOnDisk(IRP_MJ_WRITE, pieces * 0x10000, LONGLONG(lba) * 512);
        bool allPassed = true;
        for (uint32_t i = 0; i < pieces; ++i)
        {
            std::vector<uint8_t> data = BlockPattern(lba + i * 128, 128, salt);
            bool passed = false;
            for (int attempt = 0; attempt < 4 && !passed; ++attempt)
            {
                passed = Write10(lba + i * 128, 128, data).Passed(tag_);
            }
            allPassed = allPassed && passed;
        }
        bus_->ReleaseHeld(allPassed ? STATUS_SUCCESS : STATUS_IO_DEVICE_ERROR);
        request->Wait();
        if (allPassed)
        {
            ASSERT_TRUE(Medium(lba, pieces * 128) == BlockPattern(lba, pieces * 128, salt))
                << "write reported done";
        }
    }
};

TEST_F(AllocationFailureTest, EveryFailedAllocationLeavesCorrectDataAndNoLeak)
{
    winsim::SetPoolFailureTag(KAVFILTR_POOL_TAG);
    ULONG n = 1;
    for (;; ++n)
    {
        SCOPED_TRACE(n);
        size_t failuresBefore = winsim::InjectedPoolFailures();
        winsim::FailAllocationAt(n);
        Attach();
        for (int attempt = 0; attempt < 3 && !ReadCapacity().Passed(tag_); ++attempt)
        {
        }
        ReadSequentially(0, 16);
        WriteLarge(4096, 8, uint8_t(n));
        ReadSequentially(4096, 8);
        bool reached = winsim::InjectedPoolFailures() != failuresBefore;
        winsim::FailAllocationAt(0);
        Detach();
        ASSERT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
        if (HasFatalFailure() || !reached)
        {
            break;
        }
        ASSERT_LT(n, 5000u);
    }
    RecordProperty("allocations_failed_in_turn", int(n));
    // The scenario really went through the allocations of attachment, units, records and relations
    // (taking transfers over needs none).
    EXPECT_GT(n, 10u);
}
} // namespace
