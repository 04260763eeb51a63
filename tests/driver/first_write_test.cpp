// The first large write since the driver loaded, in a program of its own: the driver numbers large writes
// from 1 for as long as it stays loaded, and a write numbered 1 must be told from "no write" as any other.
#include "driver/kavfiltr_public.h"
#include "winsim/usb/storage_rig.h"
#include "tests/support/patterns.h"
#include "tests/support/stack_options.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

// A write whose first piece went down while the filter had no copy of the children (a re-scan could not
// allocate it) and failed: when the copy is back, the retry of that piece must not be taken for the start of
// the write and gathered, since the rest of the write has gone down already and nothing would flush it.
TEST(ConcurrentStack, ARetriedFirstPieceThatWentDownUnseenIsNeverGathered)
{
    ScopedKernel kernel;
    NTSTATUS expected = STATUS_PENDING;
    for (const bool filtered : {false, true})
    {
        StorageRigOptions options = OneUnitStack(filtered, UrbCompletion::Inline, 32ull << 20);
        // The failed first piece is sent again after the second, as Windows' class driver may do.
        options.disk.maxOutstanding = 2;
        options.disk.retryAfterPieces = 1;
        StorageRig rig(options);
        FaultRule rule;
        rule.persistent = true;
        rule.sense = sense::kWriteError;
        rule.when.opcode = 0x2A;
        rule.when.firstLba = uint32_t(kMiB / kBlock);
        rule.when.lastLba = *rule.when.firstLba;
        rig.Device().AddFault(rule);
        SetPoolFailureTag(KAVFILTR_POOL_TAG);
        FailAllocationAt(1);
        rig.RequeryBusRelations();
        FailAllocationAt(0);
        SetPoolFailureTag(0);
        std::atomic<bool> rescanned{false};
        rig.Device().SetTransferHook([&](Pipe pipe, uint32_t length) {
            if (pipe == Pipe::BulkIn && length == scsi::kFixedSenseLength && !rescanned.exchange(true))
            {
                rig.RequeryBusRelations();
            }
        });
        const auto data = PatternAt(kMiB, 128 * kKiB, 61);
        const NTSTATUS status = rig.Write(0, data.data(), 128 * kKiB, kMiB).status;
        rig.Device().SetTransferHook(nullptr);
        std::vector<uint8_t> medium(128 * kKiB);
        rig.Device().ReadMedium(0, kMiB, medium.data(), medium.size());
        if (status == STATUS_SUCCESS)
        {
            EXPECT_EQ(medium, data) << "a write reported done must be on the medium";
        }
        if (!filtered)
        {
            expected = status;
            continue;
        }
        EXPECT_EQ(status, expected);
    }
}

} // namespace
