// Proves that the judge and the scripted stick agree with the real storage stack: through the stack
// without Kavfiltr and through Kavfiltr, an honest stick's reads are explained word for word and its
// writes are acknowledged; the stick's own lies (another unit's data, a short read claimed whole) pass as
// its own doing; and data of another unit handed to a read does not.
#include "tests/fuzz/data_provenance.h"
#include "tests/fuzz/hostile_device.h"

#include "driver/kavfiltr_public.h"
#include "winsim/kernel/winsim_kernel.h"
#include "winsim/usb/storage_rig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace
{

using namespace kavfuzz;
namespace wu = winsim::usb;

// A two-unit stick answering from `script` (after its six start-up commands), with or without Kavfiltr.
class HostileStack : public ::testing::TestWithParam<bool>
{
protected:
    void Build(std::vector<uint8_t> script)
    {
        script_ = std::move(script);
        script_.insert(script_.begin(), 6, 0x00);
        wu::StorageRigOptions options;
        auto image = std::make_shared<wu::MemoryDiskImage>(512);
        for (int i = 0; i < 2; ++i)
        {
            wu::LunConfig lun;
            lun.image = image;
            options.device.luns.push_back(lun);
        }
        options.filtered = GetParam();
        options.filterService = KAVFILTR_SERVICE_NAME;
        options.filterEntry = DriverEntry;
        options.makeDevice = [this](const wu::DeviceConfig& config) {
            HostileAnswers answers;
            answers.maxLun = 1;
            auto made = std::make_unique<HostileDevice>(config, answers,
                                                        Script(script_.data(), script_.size()), provenance_);
            device_ = made.get();
            return std::unique_ptr<wu::BulkOnlyDevice>(std::move(made));
        };
        rig_ = std::make_unique<wu::StorageRig>(options);
    }

    // A read of `length` bytes at `offset`, its buffer poisoned first as request `request`.
    wu::IoOutcome Read(uint8_t lun, uint32_t length, uint64_t offset, uint16_t request)
    {
        buffer_.assign(length, 0);
        FillWords(buffer_.data(), length, offset, WordKind::Poison, lun, request);
        return rig_->Read(lun, buffer_.data(), length, offset);
    }

    winsim::ScopedKernel kernel_;
    std::vector<uint8_t> script_;
    Provenance provenance_;
    HostileDevice* device_ = nullptr;
    std::unique_ptr<wu::StorageRig> rig_;
    std::vector<uint8_t> buffer_;
};

TEST_P(HostileStack, AnHonestSticksReadsAreExplainedAndItsWritesAcknowledged)
{
    Build({});
    const uint32_t length = 256 * 1024;
    ASSERT_TRUE(NT_SUCCESS(Read(1, length, 0, 1).status));
    EXPECT_EQ("", provenance_.CheckRead(1, 0, buffer_.data(), length, 1));
    ASSERT_TRUE(NT_SUCCESS(Read(1, length, length, 2).status)); // a sequence: read ahead under Kavfiltr
    EXPECT_EQ("", provenance_.CheckRead(1, length, buffer_.data(), length, 2));
    EXPECT_NE("", provenance_.CheckRead(0, length, buffer_.data(), length, 2))
        << "unit 1's data is not unit 0's";

    std::vector<uint8_t> data(length);
    FillWords(data.data(), length, 0, WordKind::Application, 0, 3);
    provenance_.ApplicationWrote(0, 0, length, 3);
    ASSERT_TRUE(NT_SUCCESS(rig_->Write(0, data.data(), length, 0).status));
    rig_->Teardown();
    uint64_t acknowledged = 0;
    for (const AckedSpan& span : device_->Acknowledged())
    {
        EXPECT_EQ(0, span.lun);
        EXPECT_EQ(3, span.sequence);
        acknowledged += span.end - span.first;
    }
    EXPECT_EQ(length, acknowledged);
    EXPECT_EQ("", device_->ForeignWrite());
}

TEST_P(HostileStack, TheSticksOwnLiesPassAsItsOwn)
{
    // The first read is answered with unit 0's data; the second ends after 4 KiB but claims all of it.
    Build({0x06, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00});
    ASSERT_TRUE(NT_SUCCESS(Read(1, 4096, 0, 1).status));
    uint64_t word = 0;
    std::memcpy(&word, buffer_.data(), sizeof word);
    DecodedWord decoded{};
    ASSERT_TRUE(DecodeWord(word, &decoded));
    EXPECT_EQ(WordKind::Device, decoded.kind);
    EXPECT_EQ(0, decoded.lun) << "the stick answered unit 1 with unit 0's data";
    EXPECT_EQ("", provenance_.CheckRead(1, 0, buffer_.data(), 4096, 1));
    const wu::IoOutcome outcome = Read(1, 65536, 8192, 2);
    if (NT_SUCCESS(outcome.status))
    {
        EXPECT_EQ("", provenance_.CheckRead(1, 8192, buffer_.data(), size_t(outcome.information), 2));
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, HostileStack, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "WithKavfiltr" : "WithoutKavfiltr";
                         });

} // namespace
