// A minimal Bulk-Only host for the device tests: it runs one exchange the way a function driver does
// (command wrapper, data phase, status wrapper; after a stall it clears the halt and reads the status
// wrapper again, once) and builds the command blocks the tests send.
#pragma once

#include "winsim/usb/bot_device.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kavtest
{

using namespace winsim;
using namespace winsim::usb;

inline std::vector<uint8_t> Cdb10(uint8_t opcode, uint32_t lba, uint16_t blocks)
{
    std::vector<uint8_t> cdb(10, 0);
    cdb[0] = opcode;
    WriteBe32(&cdb[2], lba);
    WriteBe16(&cdb[7], blocks);
    return cdb;
}

inline std::vector<uint8_t> Cdb6(uint8_t opcode, uint8_t allocation = 0, uint8_t byte2 = 0)
{
    return {opcode, 0, byte2, 0, allocation, 0};
}

inline DeviceConfig OneLun(uint64_t bytes = 1 << 20, uint32_t blockLength = 512)
{
    DeviceConfig config;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(bytes);
    lun.blockLength = blockLength;
    config.luns.push_back(lun);
    return config;
}

struct Exchange
{
    TransferResult command;
    TransferResult data;
    bool statusStalled = false; // the first status read met a stall
    TransferResult status;
    std::vector<uint8_t> dataIn;
    uint32_t tag = 0;
    uint32_t cswSignature = 0;
    uint32_t cswTag = 0;
    uint32_t residue = 0;
    uint8_t cswStatus = 0xFF;

    bool Passed() const
    {
        return status.status == TransferStatus::Ok && cswSignature == kCswSignature && cswTag == tag &&
               cswStatus == 0;
    }
};

class TestHost
{
public:
    explicit TestHost(BulkOnlyDevice& device) : device_(device) {}

    Exchange Run(uint8_t lun, const std::vector<uint8_t>& cdb, uint32_t hostLength, bool in,
                 std::vector<uint8_t> out = {})
    {
        Exchange x;
        x.tag = nextTag_++;
        CommandBlockWrapper cbw = MakeCbw(x.tag, hostLength, in, lun, cdb.data(), uint8_t(cdb.size()));
        x.command = device_.Transfer(Pipe::BulkOut, &cbw, kCbwLength);
        if (hostLength != 0)
        {
            if (in)
            {
                x.dataIn.assign(hostLength, 0xEE);
                x.data = device_.Transfer(Pipe::BulkIn, x.dataIn.data(), hostLength);
                x.dataIn.resize(x.data.bytes);
            }
            else
            {
                out.resize(hostLength, 0);
                x.data = device_.Transfer(Pipe::BulkOut, out.data(), hostLength);
            }
            if (x.data.status == TransferStatus::Stall)
            {
                device_.ClearHalt(in ? Pipe::BulkIn : Pipe::BulkOut);
            }
        }
        uint8_t csw[kCswLength] = {};
        x.status = device_.Transfer(Pipe::BulkIn, csw, kCswLength);
        if (x.status.status == TransferStatus::Stall)
        {
            x.statusStalled = true;
            device_.ClearHalt(Pipe::BulkIn);
            x.status = device_.Transfer(Pipe::BulkIn, csw, kCswLength);
        }
        x.cswSignature = ReadLe32(csw);
        x.cswTag = ReadLe32(csw + 4);
        x.residue = ReadLe32(csw + 8);
        x.cswStatus = csw[12];
        return x;
    }

    void ResetRecovery()
    {
        ASSERT_EQ(device_.MassStorageReset(), TransferStatus::Ok);
        ASSERT_EQ(device_.ClearHalt(Pipe::BulkIn), TransferStatus::Ok);
        ASSERT_EQ(device_.ClearHalt(Pipe::BulkOut), TransferStatus::Ok);
    }

private:
    BulkOnlyDevice& device_;
    uint32_t nextTag_ = 0x100;
};

} // namespace kavtest
