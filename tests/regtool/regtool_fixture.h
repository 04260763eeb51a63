// A simulated PC for Kavset's tests: one host controller with a supported two-unit card reader on port 1,
// installed for the test's length, and helpers that read what Kavset wrote: the machine logs every
// property write, so a test sees the exact bytes and also that nothing was written.
#pragma once

#include "tests/support/test_machines.h"

#include "enumlib/USBEnumerateEx.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavtest
{
const char16_t kMarker[] = u"USB 大容量記憶装置（Kavelor 有効）";

// The bytes of a multi-string value: each entry and its 0, then the closing 0.
inline std::vector<BYTE> MultiStringBytes(std::initializer_list<const char16_t*> entries)
{
    std::u16string text;
    for (const char16_t* entry : entries)
    {
        text += entry;
        text += u'\0';
    }
    text += u'\0';
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(begin, begin + text.size() * 2);
}

class KavsetMachineTest : public ::testing::Test
{
protected:
    KavsetMachineTest() : scope_(machine_)
    {
        HostController& controller = AddController(machine_, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, true);
        reader_ = &AddStick(machine_, *controller.rootHub, 1, kVid, kPid, u"READER0001", {u'E'});
        LunParams second;
        second.letters = {u'F'};
        machine_.AddLun(*reader_, second);
    }

    DevNode& usbNode() { return *reader_->devNode; }
    DevNode& disk(size_t lun) { return *reader_->luns[lun]->disk; }

    // The reader as Kavset finds it: the only supported mass-storage device.
    Kavelor::CUSBEnumerateExData Record()
    {
        Kavelor::CUSBEnumerateExList list;
        Kavelor::CUSBEnumerateEx enumerator(&list);
        enumerator.m_bTargetOnly = TRUE;
        enumerator.Enumerate();
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? Kavelor::CUSBEnumerateExData() : list.front();
    }

    // The writes since the last call, as "node property" lines in order ("-" marks a delete).
    std::vector<std::string> Writes()
    {
        std::vector<std::string> lines;
        for (const PropertyWrite& write : machine_.propertyWrites)
        {
            DevNode* node = machine_.FindDevNode(write.node);
            std::string name = node == &usbNode() ? "usb"
                               : node == &disk(0) ? "disk0"
                               : node == &disk(1) ? "disk1"
                                                  : "?";
            const char* property = write.property == CM_DRP_FRIENDLYNAME   ? "FriendlyName"
                                   : write.property == CM_DRP_LOWERFILTERS ? "LowerFilters"
                                   : write.property == CM_DRP_UPPERFILTERS ? "UpperFilters"
                                                                           : "other";
            lines.push_back((write.deleted ? "-" : "") + name + " " + property);
        }
        machine_.propertyWrites.clear();
        return lines;
    }

    const std::vector<BYTE>& Stored(DevNode& node, ULONG property)
    {
        return node.properties.at(property).data;
    }

    Machine machine_;
    ScopedMachine scope_;
    UsbDevice* reader_ = nullptr;
};
} // namespace kavtest
