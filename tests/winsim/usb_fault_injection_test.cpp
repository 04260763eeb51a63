// Misbehaviour of the simulated device on demand: which commands a rule hits, one-shot against
// persistent rules, and what each fault looks like to a Bulk-Only host.
#include "tests/support/usb_test_host.h"

#include "winsim/usb/usb_misuse.h"

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

const auto kTur = Cdb6(scsi::kTestUnitReady);

FaultRule Rule(FaultKind kind, uint32_t bytes = 0, bool persistent = false)
{
    FaultRule rule;
    rule.kind = kind;
    rule.bytes = bytes;
    rule.persistent = persistent;
    return rule;
}

TEST(FaultRules, NthCommandFailsOnceWithItsSense)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    FaultRule rule = Rule(FaultKind::FailCommand);
    rule.when.commandNumber = 3;
    rule.sense = sense::kWriteError;
    device.AddFault(rule);
    for (int i = 1; i <= 4; ++i)
    {
        const Exchange x = host.Run(0, Cdb10(scsi::kRead10, 0, 2), 1024, true);
        if (i == 3)
        {
            EXPECT_EQ(x.data.status, TransferStatus::Stall);
            EXPECT_TRUE(x.dataIn.empty());
            EXPECT_EQ(x.cswStatus, 1);
            EXPECT_EQ(x.residue, 1024u);
            EXPECT_EQ(device.PendingSense(0), sense::kWriteError);
        }
        else
        {
            EXPECT_TRUE(x.Passed()) << "command " << i;
        }
    }
    EXPECT_EQ(device.FaultsFired(), 1u);
    EXPECT_EQ(device.FaultsPending(), 0u);
}

// A persistent rule on WRITE(10) to a block range hits every write touching it, and only those.
TEST(FaultRules, PersistentRuleOnOpcodeAndBlockRange)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    FaultRule rule = Rule(FaultKind::FailCommand, 0, true);
    rule.when.opcode = scsi::kWrite10;
    rule.when.firstLba = 10;
    rule.when.lastLba = 19;
    const int id = device.AddFault(rule);
    const std::vector<uint8_t> data(1024, 0x77);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kWrite10, 9, 2), 1024, false, data).cswStatus, 1);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kWrite10, 19, 2), 1024, false, data).cswStatus, 1);
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 20, 2), 1024, false, data).Passed());
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 7, 2), 1024, false, data).Passed());
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kRead10, 10, 2), 1024, true).Passed());
    EXPECT_EQ(device.FaultsFired(), 2u);
    // The failed writes left the medium alone.
    std::vector<uint8_t> medium(512);
    device.ReadMedium(0, 10 * 512, medium.data(), medium.size());
    EXPECT_EQ(medium, std::vector<uint8_t>(512, 0));

    EXPECT_TRUE(device.RemoveFault(id));
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 10, 2), 1024, false, data).Passed());
    EXPECT_THROW(device.AddFault([] {
        FaultRule reversed;
        reversed.when.firstLba = 5;
        reversed.when.lastLba = 4;
        return reversed;
    }()),
                 MisuseError);
    EXPECT_THROW(device.AddFault(Rule(FaultKind::Choke, 0)), MisuseError);
}

TEST(FaultRules, BadStatusWrapperSignatureAndTag)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::BadCswSignature));
    Exchange x = host.Run(0, kTur, 0, false);
    EXPECT_NE(x.cswSignature, kCswSignature);
    EXPECT_EQ(x.cswTag, x.tag);

    device.AddFault(Rule(FaultKind::BadCswTag));
    x = host.Run(0, kTur, 0, false);
    EXPECT_EQ(x.cswSignature, kCswSignature);
    EXPECT_NE(x.cswTag, x.tag);
    EXPECT_TRUE(host.Run(0, kTur, 0, false).Passed());
}

// Short data waits for a command that has data to send; the residue tells the truth unless the device
// is told to claim the full length.
TEST(FaultRules, ShortDataEndsTheDataPhaseEarly)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::ShortData, 1000));
    EXPECT_TRUE(host.Run(0, kTur, 0, false).Passed());
    Exchange x = host.Run(0, Cdb10(scsi::kRead10, 0, 8), 4096, true);
    EXPECT_EQ(x.data.status, TransferStatus::Ok);
    EXPECT_EQ(x.data.bytes, 1000u);
    EXPECT_FALSE(x.statusStalled);
    EXPECT_EQ(x.cswStatus, 0);
    EXPECT_EQ(x.residue, 3096u);

    FaultRule lying = Rule(FaultKind::ShortData, 512);
    lying.claimFullLength = true;
    device.AddFault(lying);
    x = host.Run(0, Cdb10(scsi::kRead10, 0, 8), 4096, true);
    EXPECT_EQ(x.data.bytes, 512u);
    EXPECT_TRUE(x.Passed());
    EXPECT_EQ(x.residue, 0u);
}

TEST(FaultRules, StalledDataPhaseFailsTheCommand)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::StallData));
    Exchange x = host.Run(0, Cdb10(scsi::kRead10, 0, 2), 1024, true);
    EXPECT_EQ(x.data.status, TransferStatus::Stall);
    EXPECT_EQ(x.cswStatus, 1);
    EXPECT_EQ(x.residue, 1024u);
    EXPECT_EQ(device.PendingSense(0), sense::kUnrecoveredReadError);

    device.AddFault(Rule(FaultKind::StallData));
    x = host.Run(0, Cdb10(scsi::kWrite10, 0, 2), 1024, false, std::vector<uint8_t>(1024, 9));
    EXPECT_EQ(x.data.status, TransferStatus::Stall);
    EXPECT_EQ(x.cswStatus, 1);
    EXPECT_EQ(device.PendingSense(0), sense::kWriteError);
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kRead10, 0, 2), 1024, true).dataIn, std::vector<uint8_t>(1024, 0));
}

TEST(FaultRules, StalledStatusIsDeliveredAfterClearHalt)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::StallStatus));
    const Exchange x = host.Run(0, Cdb10(scsi::kRead10, 0, 1), 512, true);
    EXPECT_TRUE(x.statusStalled);
    EXPECT_TRUE(x.Passed());
}

// The device leaves the bus part-way through a data phase: the partial transfer reports it, the write
// never reaches the medium, and nothing afterwards gets through.
TEST(FaultRules, VanishMidTransfer)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::Vanish, 1024));
    const Exchange x = host.Run(0, Cdb10(scsi::kWrite10, 0, 8), 4096, false, std::vector<uint8_t>(4096, 1));
    EXPECT_EQ(x.data.status, TransferStatus::DeviceGone);
    EXPECT_EQ(x.data.bytes, 1024u);
    EXPECT_EQ(x.status.status, TransferStatus::DeviceGone);
    EXPECT_TRUE(device.Gone());
    std::vector<uint8_t> medium(4096);
    device.ReadMedium(0, 0, medium.data(), medium.size());
    EXPECT_EQ(medium, std::vector<uint8_t>(4096, 0));
    EXPECT_EQ(device.MassStorageReset(), TransferStatus::DeviceGone);

    BulkOnlyDevice quiet(OneLun());
    TestHost quietHost(quiet);
    quiet.AddFault(Rule(FaultKind::Vanish, 0));
    const Exchange y = quietHost.Run(0, kTur, 0, false); // no data: it goes at the status wrapper
    EXPECT_EQ(y.command.status, TransferStatus::Ok);
    EXPECT_EQ(y.status.status, TransferStatus::DeviceGone);
}

// A device that cannot take large transfers stalls them and fails the command; smaller ones still work.
TEST(FaultRules, ChokeOnLargeTransfers)
{
    BulkOnlyDevice device(OneLun(4 << 20));
    TestHost host(device);
    device.AddFault(Rule(FaultKind::Choke, 65536, true));
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kRead10, 0, 128), 65536, true).Passed());
    for (int i = 0; i < 2; ++i)
    {
        const Exchange x = host.Run(0, Cdb10(scsi::kRead10, 0, 256), 131072, true);
        EXPECT_EQ(x.data.status, TransferStatus::Stall);
        EXPECT_EQ(x.data.bytes, 0u);
        EXPECT_EQ(x.cswStatus, 1);
        EXPECT_EQ(x.residue, 131072u);
        EXPECT_EQ(device.PendingSense(0), sense::kAbortedCommand);
    }
    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, 0, 256), 131072, false);
    EXPECT_EQ(write.data.status, TransferStatus::Stall);
    EXPECT_EQ(write.cswStatus, 1);
    EXPECT_EQ(device.FaultsFired(), 3u);
    EXPECT_EQ(device.FaultsPending(), 1u);
}

} // namespace
