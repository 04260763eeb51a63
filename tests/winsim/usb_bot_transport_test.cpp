// The Bulk-Only Transport of the simulated device: the thirteen host/device cases, command wrapper
// validation and reset recovery, status wrapper reads, and transfers that break the protocol.
#include "tests/support/usb_test_host.h"
#include "tests/support/patterns.h"

#include "winsim/usb/usb_misuse.h"

#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

struct BotCase
{
    const char* name;
    std::vector<uint8_t> cdb;
    uint32_t hostLength;
    bool hostIn;
    TransferStatus dataStatus; // ignored when hostLength is 0
    uint32_t dataBytes;
    uint8_t cswStatus;
    uint32_t residue; // checked unless the status is a phase error
    bool statusStalled;
};

void PrintTo(const BotCase& c, std::ostream* os)
{
    *os << c.name;
}

class ThirteenCases : public ::testing::TestWithParam<BotCase>
{
};

TEST_P(ThirteenCases, DataStallsResidueAndStatusFollowTheTransport)
{
    const BotCase& c = GetParam();
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    const Exchange x = host.Run(0, c.cdb, c.hostLength, c.hostIn, Pattern(c.hostLength, 3));
    EXPECT_EQ(x.command.status, TransferStatus::Ok);
    if (c.hostLength != 0)
    {
        EXPECT_EQ(x.data.status, c.dataStatus);
        EXPECT_EQ(x.data.bytes, c.dataBytes);
    }
    EXPECT_EQ(x.statusStalled, c.statusStalled);
    EXPECT_EQ(x.status.status, TransferStatus::Ok);
    EXPECT_EQ(x.cswSignature, kCswSignature);
    EXPECT_EQ(x.cswTag, x.tag);
    EXPECT_EQ(x.cswStatus, c.cswStatus);
    if (c.cswStatus != 2)
    {
        EXPECT_EQ(x.residue, c.residue);
    }
    EXPECT_EQ(device.PhaseErrors(), c.cswStatus == 2 ? 1u : 0u);
    EXPECT_EQ(device.HostProtocolErrors(), 0u);
    EXPECT_EQ(device.Phase(), DevicePhase::Command);
}

const auto kTur = Cdb6(scsi::kTestUnitReady);
const auto kRead1 = Cdb10(scsi::kRead10, 4, 1);
const auto kRead2 = Cdb10(scsi::kRead10, 4, 2);
const auto kWrite1 = Cdb10(scsi::kWrite10, 4, 1);
const auto kWrite2 = Cdb10(scsi::kWrite10, 4, 2);
const auto kInquiry = Cdb6(scsi::kInquiry, 36);
constexpr auto kOk = TransferStatus::Ok;
constexpr auto kStall = TransferStatus::Stall;

INSTANTIATE_TEST_SUITE_P(
    Bot, ThirteenCases,
    ::testing::Values(BotCase{"c1_Hn_eq_Dn", kTur, 0, false, kOk, 0, 0, 0, false},
                      BotCase{"c2_Hn_lt_Di", kRead1, 0, false, kOk, 0, 2, 0, false},
                      BotCase{"c3_Hn_lt_Do", kWrite1, 0, false, kOk, 0, 2, 0, false},
                      BotCase{"c4_Hi_gt_Dn", kTur, 512, true, kStall, 0, 0, 512, false},
                      // a short packet ends the data, the stall meets the status read
                      BotCase{"c5_Hi_gt_Di_short_packet", kInquiry, 64, true, kOk, 36, 0, 28, true},
                      // data ending on a packet boundary is ended by the stall itself
                      BotCase{"c5_Hi_gt_Di_packet_boundary", kRead1, 1024, true, kStall, 512, 0, 512, false},
                      BotCase{"c6_Hi_eq_Di", kRead2, 1024, true, kOk, 1024, 0, 0, false},
                      BotCase{"c7_Hi_lt_Di", kRead2, 512, true, kOk, 512, 2, 0, false},
                      BotCase{"c8_Hi_ne_Do", kWrite1, 512, true, kStall, 0, 2, 0, false},
                      BotCase{"c9_Ho_gt_Dn", kTur, 512, false, kOk, 512, 0, 512, false},
                      BotCase{"c10_Ho_ne_Di", kRead1, 512, false, kStall, 0, 2, 0, false},
                      BotCase{"c11_Ho_gt_Do", kWrite1, 1024, false, kOk, 1024, 0, 512, false},
                      BotCase{"c12_Ho_eq_Do", kWrite2, 1024, false, kOk, 1024, 0, 0, false},
                      BotCase{"c13_Ho_lt_Do", kWrite2, 512, false, kOk, 512, 2, 0, false}),
    [](const ::testing::TestParamInfo<BotCase>& info) { return std::string(info.param.name); });

// Only the cases where host and device agree on a write may change the medium, and only by what the
// command covers.
TEST(BotWrites, MediumChangesOnlyWhenHostAndDeviceAgree)
{
    struct Write
    {
        std::vector<uint8_t> cdb;
        uint32_t hostLength;
        bool hostIn;
        uint32_t bytesWritten;
    };
    const Write writes[] = {{kWrite1, 0, false, 0},
                            {kWrite1, 512, true, 0},
                            {kWrite2, 512, false, 0},
                            {kWrite1, 1024, false, 512},
                            {kWrite2, 1024, false, 1024}};
    for (const Write& w : writes)
    {
        BulkOnlyDevice device(OneLun());
        TestHost host(device);
        const auto data = Pattern(w.hostLength, 11);
        host.Run(0, w.cdb, w.hostLength, w.hostIn, data);
        std::vector<uint8_t> medium(2048);
        device.ReadMedium(0, 4 * 512 - 512, medium.data(), medium.size());
        for (size_t i = 0; i < medium.size(); ++i)
        {
            const bool inside = i >= 512 && i < 512 + w.bytesWritten;
            ASSERT_EQ(medium[i], inside ? data[i - 512] : 0)
                << "byte " << i << ", host length " << w.hostLength;
        }
    }
}

TEST(BotDataPhase, SplitTransfersAndReadBackMatchTheMedium)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    const auto data = Pattern(4096, 5);
    ASSERT_TRUE(host.Run(0, Cdb10(scsi::kWrite10, 100, 8), 4096, false, data).Passed());

    const CommandBlockWrapper cbw = MakeCbw(7, 4096, true, 0, Cdb10(scsi::kRead10, 100, 8).data(), 10);
    ASSERT_EQ(device.Transfer(Pipe::BulkOut, const_cast<CommandBlockWrapper*>(&cbw), kCbwLength).status, kOk);
    std::vector<uint8_t> back(4096);
    for (uint32_t offset = 0; offset < 4096; offset += 1024)
    {
        ASSERT_EQ(device.Transfer(Pipe::BulkIn, back.data() + offset, 1024).bytes, 1024u);
    }
    EXPECT_EQ(back, data);
    uint8_t csw[kCswLength];
    ASSERT_EQ(device.Transfer(Pipe::BulkIn, csw, kCswLength).bytes, kCswLength);
    EXPECT_EQ(ReadLe32(csw + 4), 7u);
    EXPECT_EQ(csw[12], 0);
}

// A lax device ends short data with a short packet only; the status wrapper follows without a stall.
TEST(BotDataPhase, LaxDeviceEndsShortDataWithoutStall)
{
    DeviceConfig config = OneLun();
    config.stallAfterShortIn = false;
    BulkOnlyDevice device(config);
    TestHost host(device);
    const Exchange x = host.Run(0, kInquiry, 64, true);
    EXPECT_EQ(x.data.bytes, 36u);
    EXPECT_FALSE(x.statusStalled);
    EXPECT_EQ(x.residue, 28u);
}

using WrapperMutation = void (*)(CommandBlockWrapper&);

class InvalidWrapper : public ::testing::TestWithParam<WrapperMutation>
{
};

// An invalid or meaningless wrapper stalls both pipes; clearing the halts alone does not help, reset
// recovery does, and the device then takes commands again.
TEST_P(InvalidWrapper, StallsBothPipesUntilResetRecovery)
{
    BulkOnlyDevice device(OneLun());
    TestHost host(device);
    CommandBlockWrapper cbw = MakeCbw(1, 0, false, 0, kTur.data(), 6);
    GetParam()(cbw);
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, &cbw, kCbwLength).status, kOk);
    EXPECT_EQ(device.InvalidCommandWrappers(), 1u);
    uint8_t csw[kCswLength];
    EXPECT_EQ(device.Transfer(Pipe::BulkIn, csw, kCswLength).status, kStall);
    EXPECT_EQ(device.ClearHalt(Pipe::BulkIn), kOk);
    EXPECT_EQ(device.ClearHalt(Pipe::BulkOut), kOk);
    EXPECT_TRUE(device.Halted(Pipe::BulkIn));
    EXPECT_TRUE(device.Halted(Pipe::BulkOut));
    EXPECT_FALSE(host.Run(0, kTur, 0, false).Passed());

    host.ResetRecovery();
    EXPECT_TRUE(host.Run(0, kTur, 0, false).Passed());
    EXPECT_TRUE(device.CommandLog().empty() || device.CommandLog().back().completed);
}

INSTANTIATE_TEST_SUITE_P(Bot, InvalidWrapper,
                         ::testing::Values([](CommandBlockWrapper& c) { c.signature[0] ^= 1; },
                                           [](CommandBlockWrapper& c) { c.lun = 1; }, // one unit only
                                           [](CommandBlockWrapper& c) { c.lun = 0x10; },
                                           [](CommandBlockWrapper& c) { c.flags = 0x01; },
                                           [](CommandBlockWrapper& c) { c.cdbLength = 0; },
                                           [](CommandBlockWrapper& c) { c.cdbLength = 17; }));

TEST(BotWrapperLength, OnlyThirtyOneBytesMakeACommand)
{
    for (uint32_t length : {30u, 32u, 0u})
    {
        BulkOnlyDevice device(OneLun());
        std::vector<uint8_t> bytes(64, 0);
        const CommandBlockWrapper cbw = MakeCbw(1, 0, false, 0, kTur.data(), 6);
        std::memcpy(bytes.data(), &cbw, kCbwLength);
        device.Transfer(Pipe::BulkOut, bytes.data(), length);
        EXPECT_EQ(device.InvalidCommandWrappers(), 1u) << length;
        EXPECT_TRUE(device.Halted(Pipe::BulkOut));
        EXPECT_TRUE(device.CommandLog().empty());
    }
}

// Transfers in the wrong phase get no answer; a status read too small for the wrapper is a babble and
// the wrapper stays for the next read; reading past the announced length runs into the status wrapper.
TEST(BotHostErrors, WrongPhaseSmallStatusBufferAndOverlongRead)
{
    BulkOnlyDevice device(OneLun());
    uint8_t buffer[1024];
    EXPECT_EQ(device.Transfer(Pipe::BulkIn, buffer, 13).status, TransferStatus::Nak);

    CommandBlockWrapper cbw = MakeCbw(9, 0, false, 0, kTur.data(), 6);
    ASSERT_EQ(device.Transfer(Pipe::BulkOut, &cbw, kCbwLength).status, kOk);
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, &cbw, kCbwLength).status, TransferStatus::Nak);
    EXPECT_EQ(device.Transfer(Pipe::BulkIn, buffer, 12).status, TransferStatus::Overrun);
    EXPECT_EQ(device.Transfer(Pipe::BulkIn, buffer, 13).bytes, kCswLength);
    EXPECT_EQ(ReadLe32(buffer + 4), 9u);
    EXPECT_EQ(device.Transfer(Pipe::InterruptIn, buffer, 8).status, TransferStatus::Nak);

    cbw = MakeCbw(10, 512, true, 0, kRead1.data(), 10);
    ASSERT_EQ(device.Transfer(Pipe::BulkOut, &cbw, kCbwLength).status, kOk);
    const TransferResult overlong = device.Transfer(Pipe::BulkIn, buffer, 1024);
    EXPECT_EQ(overlong.bytes, 512u + kCswLength);
    EXPECT_EQ(ReadLe32(buffer + 512), kCswSignature);
    EXPECT_EQ(device.Phase(), DevicePhase::Command);
    EXPECT_EQ(device.HostProtocolErrors(), 4u);
}

TEST(BotControl, GetMaxLunAndUnplug)
{
    DeviceConfig config = OneLun();
    config.luns.push_back(config.luns[0]);
    config.luns.back().image = std::make_shared<MemoryDiskImage>(1 << 20);
    config.luns.push_back(config.luns.back());
    config.luns.back().image = std::make_shared<MemoryDiskImage>(1 << 20);
    BulkOnlyDevice device(config);
    uint8_t maxLun = 0xFF;
    EXPECT_EQ(device.GetMaxLun(&maxLun), kOk);
    EXPECT_EQ(maxLun, 2);

    device.Unplug();
    uint8_t buffer[31] = {};
    EXPECT_EQ(device.Transfer(Pipe::BulkOut, buffer, 31).status, TransferStatus::DeviceGone);
    EXPECT_EQ(device.GetMaxLun(&maxLun), TransferStatus::DeviceGone);
    EXPECT_EQ(device.MassStorageReset(), TransferStatus::DeviceGone);
    EXPECT_EQ(device.ClearHalt(Pipe::BulkIn), TransferStatus::DeviceGone);
}

// A second transfer on a pipe that already has one in flight is a host fault that must not pass.
TEST(BotConcurrency, OverlappingTransfersOnOnePipeFailLoudly)
{
    BulkOnlyDevice device(OneLun());
    bool nested = false;
    device.SetTransferHook([&](Pipe pipe, uint32_t) {
        if (pipe != Pipe::BulkOut || nested)
        {
            return;
        }
        nested = true;
        uint8_t other[31] = {};
        EXPECT_THROW(device.Transfer(Pipe::BulkOut, other, 31), MisuseError);
        // another pipe is still free
        EXPECT_EQ(device.Transfer(Pipe::BulkIn, other, 13).status, TransferStatus::Nak);
    });
    TestHost host(device);
    EXPECT_TRUE(host.Run(0, kTur, 0, false).Passed());
    EXPECT_TRUE(nested);
    EXPECT_THROW(device.Transfer(Pipe::BulkIn, nullptr, 13), MisuseError);
}

// Exchanges on one thread while others watch the counters and change the fault plan: the device's own
// state stays consistent (ThreadSanitizer checks the locking).
TEST(BotConcurrency, ObserversOnOtherThreadsDuringExchanges)
{
    BulkOnlyDevice device(OneLun());
    std::atomic<bool> done{false};
    std::thread observer([&] {
        while (!done)
        {
            device.Counters();
            device.CommandLog();
            device.RemoveFault(device.AddFault(FaultRule{}));
        }
    });
    TestHost host(device);
    int passed = 0;
    for (int i = 0; i < 200; ++i)
    {
        passed += host.Run(0, Cdb10(scsi::kRead10, uint32_t(i), 1), 512, true).Passed() ? 1 : 0;
    }
    done = true;
    observer.join();
    EXPECT_EQ(device.Counters().commands, 200u);
    EXPECT_EQ(passed + int(device.FaultsFired()), 200);
}

} // namespace
