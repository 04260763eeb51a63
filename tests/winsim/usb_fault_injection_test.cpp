// Misbehaviour of the simulated device on demand: which commands a rule hits, one-shot against
// persistent rules, and what each fault looks like to a Bulk-Only host, including a device that falls
// out of step, reports a residue after moving everything, or hangs.
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

std::vector<uint8_t> Medium(BulkOnlyDevice& device, uint64_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    device.ReadMedium(0, offset, bytes.data(), length);
    return bytes;
}

class OutOfStep : public ::testing::TestWithParam<FaultKind>
{
};

// A device out of step answers with a status wrapper a host must not believe, loses the command (no
// write reaches the medium, data in is filler) and takes nothing more until reset recovery.
TEST_P(OutOfStep, StatusWrapperIsUnbelievableAndTheDeviceWaitsForResetRecovery)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    ASSERT_TRUE(host.Run(0, kTur, 0, false).Passed());
    device.AddFault(Rule(GetParam()));
    const std::vector<uint8_t> data(1024, 0x6B);
    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, 8, 2), 1024, false, data);
    EXPECT_EQ(write.status.status, TransferStatus::Ok);
    EXPECT_FALSE(write.Passed());
    if (GetParam() == FaultKind::ForeignCsw)
    {
        // Well formed and passed: only the tag gives it away.
        EXPECT_EQ(write.cswSignature, kCswSignature);
        EXPECT_EQ(write.cswStatus, 0);
        EXPECT_EQ(write.residue, 0u);
        EXPECT_NE(write.cswTag, write.tag);
    }
    else
    {
        EXPECT_NE(write.cswSignature, kCswSignature);
        EXPECT_EQ(write.cswTag, write.tag);
        EXPECT_EQ(write.cswStatus, 0);
    }
    EXPECT_EQ(Medium(device, 8 * 512, 1024), std::vector<uint8_t>(1024, 0));
    EXPECT_TRUE(device.Halted(Pipe::BulkIn));
    EXPECT_TRUE(device.Halted(Pipe::BulkOut));
    EXPECT_EQ(device.ClearHalt(Pipe::BulkOut), TransferStatus::Ok);
    EXPECT_TRUE(device.Halted(Pipe::BulkOut)); // a clear halt alone does not bring it back
    host.ResetRecovery();
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 8, 2), 1024, false, data).Passed());
    EXPECT_EQ(Medium(device, 8 * 512, 1024), data);

    device.AddFault(Rule(GetParam()));
    const Exchange read = host.Run(0, Cdb10(scsi::kRead10, 8, 2), 1024, true);
    EXPECT_FALSE(read.Passed());
    EXPECT_EQ(read.dataIn, std::vector<uint8_t>(1024, 0xA5));
    host.ResetRecovery();
}

INSTANTIATE_TEST_SUITE_P(Faults, OutOfStep, ::testing::Values(FaultKind::GarbledCsw, FaultKind::ForeignCsw));

// All the data moves and the status wrapper passes, yet it reports a residue: the host must not take the
// last bytes of a read, and a write reached the medium only up to the residue, in whole blocks.
TEST(FaultRules, ResidueReportedAfterAllTheDataMoved)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = uint8_t(i * 7 + 3);
    }
    ASSERT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 0, 8), 4096, false, data).Passed());

    device.AddFault(Rule(FaultKind::PaddedDataIn, 1000));
    const Exchange read = host.Run(0, Cdb10(scsi::kRead10, 0, 8), 4096, true);
    EXPECT_EQ(read.cswStatus, 0);
    EXPECT_EQ(read.residue, 1000u);
    ASSERT_EQ(read.dataIn.size(), 4096u);
    EXPECT_TRUE(std::equal(data.begin(), data.end() - 1000, read.dataIn.begin()));
    EXPECT_EQ(std::vector<uint8_t>(read.dataIn.end() - 1000, read.dataIn.end()),
              std::vector<uint8_t>(1000, 0xA5));

    device.AddFault(Rule(FaultKind::PartialWrite, 1000)); // two blocks are left unwritten
    const std::vector<uint8_t> fresh(4096, 0x42);
    const Exchange write = host.Run(0, Cdb10(scsi::kWrite10, 0, 8), 4096, false, fresh);
    EXPECT_EQ(write.data.bytes, 4096u);
    EXPECT_EQ(write.cswStatus, 0);
    EXPECT_EQ(write.residue, 1024u);
    EXPECT_EQ(Medium(device, 0, 3072), std::vector<uint8_t>(3072, 0x42));
    EXPECT_EQ(Medium(device, 3072, 1024), std::vector<uint8_t>(data.begin() + 3072, data.end()));

    // Neither fires on a command it cannot act on, and neither may claim no residue at all.
    device.AddFault(Rule(FaultKind::PartialWrite, 512));
    EXPECT_EQ(host.Run(0, Cdb10(scsi::kRead10, 0, 1), 512, true).residue, 0u);
    EXPECT_EQ(device.FaultsPending(), 1u);
    device.ClearFaults();
    EXPECT_THROW(device.AddFault(Rule(FaultKind::PaddedDataIn, 0)), MisuseError);
}

// A hung device NAKs its data and status phases until a reset; the command is lost.
TEST(FaultRules, HangLastsUntilAReset)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    device.AddFault(Rule(FaultKind::Hang));
    const std::vector<uint8_t> data(512, 0x11);
    CommandBlockWrapper cbw = MakeCbw(7, 512, false, 0, Cdb10(scsi::kWrite10, 1, 1).data(), 10);
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, &cbw, kCbwLength).status, TransferStatus::Ok);
    std::vector<uint8_t> out = data;
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, out.data(), 512).status, TransferStatus::Nak);
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, out.data(), 512).status, TransferStatus::Nak);
    EXPECT_EQ(device.HostProtocolErrors(), 0u); // not the host's fault
    EXPECT_EQ(device.PortReset(), TransferStatus::Ok);
    EXPECT_EQ(Medium(device, 512, 512), std::vector<uint8_t>(512, 0));
    EXPECT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 1, 1), 512, false, data).Passed());
}

} // namespace
