// The storage rig's options for a stick of one unit on a memory image, with or without Kavfiltr where the
// PnP manager loads it: the stack most driver tests build, filtered or as the oracle without the filter.
#pragma once

#include "driver/kavfiltr_public.h"
#include "winsim/usb/storage_rig.h"

#include <memory>

namespace kavtest
{

inline winsim::usb::StorageRigOptions OneUnitStack(bool filtered, winsim::usb::UrbCompletion completion,
                                                   uint64_t bytes)
{
    using namespace winsim::usb;
    StorageRigOptions options;
    LunConfig lun;
    lun.image = std::make_shared<MemoryDiskImage>(bytes);
    options.device.luns.push_back(lun);
    options.completion = completion;
    options.completionDelay = std::chrono::microseconds(completion == UrbCompletion::Deferred ? 10 : 0);
    options.filtered = filtered;
    options.filterService = KAVFILTR_SERVICE_NAME;
    options.filterEntry = DriverEntry;
    return options;
}

} // namespace kavtest
