// The virtual clock and counters of the simulated device, and its log of commands: what kavlab's
// measurements and the with/without-filter comparisons rest on.
#include "tests/support/usb_test_host.h"

#include "winsim/usb/usb_misuse.h"

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

// One 64 KiB READ(10) at the defaults: 0.5 ms command, three microframes, 65580 bytes at 40 MB/s.
TEST(Timing, OneExchangeAtTheDefaults)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    ASSERT_TRUE(host.Run(0, Cdb10(scsi::kRead10, 0, 128), 65536, true).Passed());
    const TimingCounters c = device.Counters();
    EXPECT_EQ(c.commands, 1u);
    EXPECT_EQ(c.transfers, 3u);
    EXPECT_EQ(c.bytesOut, 31u);
    EXPECT_EQ(c.bytesIn, 65536u + 13u);
    EXPECT_EQ(c.payloadBytes, 65536u);
    EXPECT_EQ(c.virtualTimeNs, 500000u + 3 * 125000u + 775u + 1638400u + 325u);
    EXPECT_EQ(device.BoundNs(), 1638400u);
}

// The same MiB in sixteen commands costs fifteen command overheads, forty-five microframes and fifteen
// pairs of wrappers more than in one: the cost a read-ahead saves. The bound does not change.
TEST(Timing, FewerLargerCommandsCostLess)
{
    BulkOnlyDevice pieces(OneLun(4 << 20));
    TestHost piecesHost(pieces);
    for (uint32_t i = 0; i < 16; ++i)
    {
        ASSERT_TRUE(piecesHost.Run(0, Cdb10(scsi::kRead10, i * 128, 128), 65536, true).Passed());
    }
    BulkOnlyDevice whole(OneLun(4 << 20));
    TestHost wholeHost(whole);
    ASSERT_TRUE(wholeHost.Run(0, Cdb10(scsi::kRead10, 0, 2048), 1 << 20, true).Passed());

    const TimingCounters p = pieces.Counters();
    const TimingCounters w = whole.Counters();
    EXPECT_EQ(p.payloadBytes, w.payloadBytes);
    EXPECT_EQ(pieces.BoundNs(), whole.BoundNs());
    EXPECT_EQ(p.commands - w.commands, 15u);
    EXPECT_EQ(p.transfers - w.transfers, 45u);
    EXPECT_EQ(p.virtualTimeNs - w.virtualTimeNs, 15 * (500000u + 3 * 125000u + 775u + 325u));
}

TEST(Timing, ParametersStallsControlRequestsAndReset)
{
    BulkOnlyDevice device(OneLun());
    TimingParameters bus;
    bus.bytesPerSecond = 53'248'000; // 13 x 512 bytes per microframe
    bus.commandOverheadNs = 0;
    bus.transferOverheadNs = 0;
    device.SetTiming(bus);
    TestHost host(device);
    ASSERT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 0, 13), 6656, false).Passed());
    EXPECT_EQ(device.BoundNs(), 125000u);

    device.ResetCounters();
    device.SetTiming(TimingParameters{});
    host.Run(0, Cdb6(scsi::kTestUnitReady), 512, true); // data stalls; host clears the halt
    const TimingCounters c = device.Counters();
    EXPECT_EQ(c.transfers, 3u);
    EXPECT_EQ(c.controlRequests, 1u);
    EXPECT_EQ(c.payloadBytes, 0u);
    EXPECT_EQ(c.virtualTimeNs, 500000u + 4 * 125000u + 775u + 325u);

    TimingParameters broken;
    broken.bytesPerSecond = 0;
    EXPECT_THROW(device.SetTiming(broken), MisuseError);
}

// The log lists every accepted command with its unit, address, length and outcome, so a run with a
// filter can be compared command by command with one without.
TEST(CommandLog, RecordsTheSequenceAndOutcomes)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    host.Run(0, Cdb6(scsi::kTestUnitReady), 0, false);
    host.Run(0, Cdb10(scsi::kWrite10, 7, 2), 1024, false);
    host.Run(0, Cdb10(scsi::kRead10, 4000, 1), 512, true); // beyond the end

    const auto log = device.CommandLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].opcode, scsi::kTestUnitReady);
    EXPECT_EQ(log[1].opcode, scsi::kWrite10);
    EXPECT_EQ(log[1].lba, 7u);
    EXPECT_EQ(log[1].blocks, 2u);
    EXPECT_EQ(log[1].hostLength, 1024u);
    EXPECT_FALSE(log[1].hostIn);
    EXPECT_EQ(log[2].number, 3u);
    EXPECT_TRUE(log[2].hostIn);
    EXPECT_EQ(log[2].status, CswStatus::Failed);
    EXPECT_EQ(log[2].residue, 512u);
    for (const CommandRecord& record : log)
    {
        EXPECT_TRUE(record.completed);
    }

    const CommandBlockWrapper cbw = MakeCbw(1, 0, false, 0, Cdb6(scsi::kTestUnitReady).data(), 6);
    device.Transfer(Pipe::BulkOut, const_cast<CommandBlockWrapper*>(&cbw), kCbwLength);
    EXPECT_FALSE(device.CommandLog().back().completed);
    EXPECT_THROW(device.ClearCommandLog(), MisuseError);
    uint8_t csw[kCswLength];
    device.Transfer(Pipe::BulkIn, csw, kCswLength);
    device.ClearCommandLog();
    EXPECT_TRUE(device.CommandLog().empty());
}

} // namespace
