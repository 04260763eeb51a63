// What Kavfiltr counts per unit reaches the USB node's hardware key: within a second of the I/O while the
// stack runs (also with requests still flowing from several threads) and once more when it stops, without
// a device command of its own; a registry that fails writes changes nothing the device or the
// applications see; a stack started again counts from zero.
#include "driver/kavfiltr_counters.h"
#include "winsim/registry/registry_store.h"
#include "winsim/usb/storage_rig.h"
#include "tests/support/patterns.h"
#include "tests/support/stack_options.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

namespace
{

using namespace kavtest;
using namespace winsim;
using namespace winsim::usb;

constexpr ULONG kMiB = 1 << 20;

std::optional<uint64_t> Counter(const StorageRig& rig, const char16_t* name, char16_t unit = u'0')
{
    auto value =
        registry::Read(rig.UsbInstancePath(), std::u16string(KAVFILTR_COUNTERS_KEY) + u"\\" + unit, name);
    if (!value || value->type != REG_QWORD || value->data.size() != sizeof(uint64_t))
    {
        return std::nullopt;
    }
    uint64_t number = 0;
    std::memcpy(&number, value->data.data(), sizeof(number));
    return number;
}

// Waits (in real time, the simulated clock moved on first) until the value is `expected`.
bool CounterReaches(const StorageRig& rig, const char16_t* name, uint64_t expected, char16_t unit = u'0')
{
    AdvanceClock(std::chrono::milliseconds(1100));
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Counter(rig, name, unit) != expected)
    {
        if (std::chrono::steady_clock::now() > giveUp)
        {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void WriteAndRead(StorageRig& rig, const std::vector<uint8_t>& data, ULONG request)
{
    for (ULONG offset = 0; offset < data.size(); offset += request)
    {
        ASSERT_EQ(rig.Write(0, data.data() + offset, request, offset).status, STATUS_SUCCESS) << offset;
    }
    std::vector<uint8_t> back(data.size());
    for (ULONG offset = 0; offset < data.size(); offset += request)
    {
        ASSERT_EQ(rig.Read(0, back.data() + offset, request, offset).status, STATUS_SUCCESS) << offset;
    }
    ASSERT_EQ(back, data);
}

class UnitCounters : public ::testing::Test
{
protected:
    ScopedKernel kernel_;
};

TEST_F(UnitCounters, AppearWithinASecondOfTheIoAndAgainWhenTheStackStopsWithoutADeviceCommand)
{
    StorageRig rig(OneUnitStack(true, UrbCompletion::Deferred, 16 << 20));
    const auto data = Pattern(4 * kMiB, 1);
    WriteAndRead(rig, data, kMiB);
    const uint64_t commands = rig.Device().Counters().commands;
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_CLASS_BYTES_WRITTEN, 4 * kMiB));
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_CLASS_BYTES_READ, 4 * kMiB));
    EXPECT_EQ(Counter(rig, KAVFILTR_DEVICE_WRITE_COMMANDS), 4u) << "one gathered WRITE(10) per MiB";
    EXPECT_EQ(Counter(rig, KAVFILTR_FAILED_PUBLISHES), 0u);
    // Seconds of ticks with nothing new cost the device nothing, and the registry nothing either.
    AdvanceClock(std::chrono::milliseconds(1100));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const size_t keyOpens = DeviceKeyOpens();
    for (int second = 0; second < 3; ++second)
    {
        AdvanceClock(std::chrono::milliseconds(1100));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(rig.Device().Counters().commands, commands);
    EXPECT_LE(DeviceKeyOpens() - keyOpens, 1u) << "a tick still writing the I/O's last change at most";

    // I/O from several threads at once, then the stack goes before a tick could write it.
    std::vector<std::thread> readers;
    for (ULONG thread = 0; thread < 3; ++thread)
    {
        readers.emplace_back([&rig, thread] {
            std::vector<uint8_t> buffer(kMiB);
            for (ULONG offset = 0; offset < 4 * kMiB; offset += kMiB)
            {
                EXPECT_EQ(rig.Read(0, buffer.data(), kMiB, (thread * 4 * kMiB + offset) % (16 * kMiB)).status,
                          STATUS_SUCCESS);
            }
        });
    }
    for (std::thread& reader : readers)
    {
        reader.join();
    }
    rig.Teardown();
    EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_BYTES_READ), 16 * kMiB);
    const uint64_t deviceReads = *Counter(rig, KAVFILTR_DEVICE_READ_COMMANDS);
    uint64_t sawReads = 0;
    for (const CommandRecord& record : rig.Device().CommandLog())
    {
        sawReads += record.opcode == 0x28 ? 1 : 0;
    }
    EXPECT_EQ(deviceReads, sawReads);
}

TEST_F(UnitCounters, ARegistryThatFailsWritesChangesNothingTheDeviceOrTheApplicationsSee)
{
    const auto data = Pattern(4 * kMiB, 2);
    std::vector<CommandRecord> withoutFailures;
    for (ULONG failEvery : {0u, 3u})
    {
        SCOPED_TRACE(failEvery);
        ResetKernel();
        FailRegistryWritesEvery(failEvery);
        StorageRig rig(OneUnitStack(true, UrbCompletion::Inline, 16 << 20));
        for (int round = 0; round < 3; ++round)
        {
            WriteAndRead(rig, data, 256 << 10);
            AdvanceClock(std::chrono::milliseconds(1100));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        rig.Teardown();
        std::vector<CommandRecord> log = rig.Device().CommandLog();
        if (failEvery == 0)
        {
            EXPECT_EQ(FailedRegistryWrites(), 0u);
            withoutFailures = log;
            continue;
        }
        EXPECT_GT(FailedRegistryWrites(), 0u);
        ASSERT_EQ(log.size(), withoutFailures.size());
        for (size_t index = 0; index < log.size(); ++index)
        {
            EXPECT_EQ(log[index].opcode, withoutFailures[index].opcode) << index;
            EXPECT_EQ(log[index].lba, withoutFailures[index].lba) << index;
            EXPECT_EQ(log[index].blocks, withoutFailures[index].blocks) << index;
        }
        // The failures were counted, and published once a write got through.
        EXPECT_GE(Counter(rig, KAVFILTR_FAILED_PUBLISHES).value_or(0), 1u);
    }
    FailRegistryWritesEvery(0);
}

// At most once a second, counted from the worker's start: I/O in the stack's first second and I/O right
// after a publication wait for the next second, whatever the interrupt time was when the stack started.
TEST_F(UnitCounters, ArePublishedAtMostOnceASecondFromTheStart)
{
    AdvanceClock(std::chrono::seconds(10));
    StorageRig rig(OneUnitStack(true, UrbCompletion::Inline, 16 << 20));
    WriteAndRead(rig, Pattern(kMiB, 5), kMiB);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_BYTES_WRITTEN), std::nullopt) << "published before a second passed";
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_CLASS_BYTES_WRITTEN, kMiB));
    WriteAndRead(rig, Pattern(kMiB, 6), kMiB);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_BYTES_WRITTEN), kMiB) << "published again within the second";
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_CLASS_BYTES_WRITTEN, 2 * kMiB));
}

TEST_F(UnitCounters, AStackStartedAgainCountsFromZero)
{
    StorageRig rig(OneUnitStack(true, UrbCompletion::Inline, 16 << 20));
    WriteAndRead(rig, Pattern(2 * kMiB, 3), kMiB);
    rig.Restart(true);
    std::vector<uint8_t> buffer(64 << 10);
    ASSERT_EQ(rig.Read(0, buffer.data(), ULONG(buffer.size()), 0).status, STATUS_SUCCESS);
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_CLASS_BYTES_READ, 64 << 10));
    EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_BYTES_WRITTEN), 0u);
    EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_READ_COMMANDS), 1u);
}

// Each unit of a stick of two counts under its own key: its commands as the device saw them for that unit,
// and a failure on one unit is not charged to the other. A unit's change is published also when it is the
// only one that changed.
TEST_F(UnitCounters, EachUnitOfAStickCountsUnderItsOwnKey)
{
    StorageRigOptions options = OneUnitStack(true, UrbCompletion::Inline, 16 << 20);
    LunConfig second;
    second.image = std::make_shared<MemoryDiskImage>(16 << 20);
    options.device.luns.push_back(second);
    StorageRig rig(options);
    const auto data = Pattern(kMiB, 4);
    ASSERT_EQ(rig.Write(1, data.data(), kMiB, 0).status, STATUS_SUCCESS);
    std::vector<uint8_t> back(kMiB);
    ASSERT_EQ(rig.Read(1, back.data(), kMiB, 0).status, STATUS_SUCCESS);
    // The gathered write's status wrapper comes garbled: the filter recovers the device and fails the piece.
    FaultRule failure;
    failure.kind = FaultKind::GarbledCsw;
    failure.when.opcode = 0x2A;
    failure.when.lun = 1;
    rig.Device().AddFault(failure);
    rig.Write(1, data.data(), kMiB, 4 * kMiB);
    auto logged = [&rig](uint8_t unit, uint8_t opcode) {
        uint64_t count = 0;
        for (const CommandRecord& record : rig.Device().CommandLog())
        {
            count += record.lun == unit && record.opcode == opcode ? 1 : 0;
        }
        return count;
    };
    EXPECT_TRUE(CounterReaches(rig, KAVFILTR_DEVICE_WRITE_COMMANDS, logged(1, 0x2A), u'1'));
    ASSERT_EQ(rig.Write(0, data.data(), kMiB, 0).status, STATUS_SUCCESS);
    rig.Teardown();

    for (uint8_t unit : {0, 1})
    {
        SCOPED_TRACE(unit);
        const char16_t key = char16_t(u'0' + unit);
        EXPECT_EQ(Counter(rig, KAVFILTR_DEVICE_READ_COMMANDS, key), logged(unit, 0x28));
        EXPECT_EQ(Counter(rig, KAVFILTR_DEVICE_WRITE_COMMANDS, key), logged(unit, 0x2A));
        // The class driver's retries of the failed write count as well.
        EXPECT_EQ(Counter(rig, KAVFILTR_CLASS_BYTES_WRITTEN, key).value_or(0) >= 2 * kMiB, unit == 1);
        EXPECT_EQ(Counter(rig, KAVFILTR_FAILURES_PASSED_ON, key).value_or(0) > 0, unit == 1);
    }
}

} // namespace
