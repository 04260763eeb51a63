// Machines the enumeration tests build in code: controllers, sticks, card readers, keyboards, hubs.
#pragma once

#include "winsim/machine/machine.h"

#include "enumlib/EnumerateData.h"

#include <string>
#include <vector>

namespace kavtest
{
using namespace winsim::machine;

const USHORT kVid = 0x3A7E; // in the shipped table
const USHORT kPid = 0x1202;

inline HostController& AddController(Machine& machine, const char16_t* instanceId, int legacyIndex,
                                     bool exposesInterface, ULONG ports = 4)
{
    ControllerParams params;
    params.instanceId = instanceId;
    params.legacyIndex = legacyIndex;
    params.exposesInterface = exposesInterface;
    params.rootHubPorts = ports;
    return machine.AddHostController(params);
}

// A controller reached only by the device-node scan: no legacy name, no interface.
inline HostController& AddScanOnlyController(Machine& machine, const char16_t* instanceId)
{
    return AddController(machine, instanceId, -1, false);
}

inline UsbDevice& AddStick(Machine& machine, Hub& hub, ULONG port, USHORT vid, USHORT pid,
                           const WString& serial, std::vector<WCHAR> letters = {})
{
    UsbDeviceParams params;
    params.vendorId = vid;
    params.productId = pid;
    params.serialNumber = serial;
    UsbDevice& device = machine.AttachDevice(hub, port, params);
    LunParams lun;
    lun.letters = letters;
    machine.AddLun(device, lun);
    return device;
}

inline UsbDevice& AddKeyboard(Machine& machine, Hub& hub, ULONG port)
{
    UsbDeviceParams params;
    params.vendorId = 0x046D;
    params.productId = 0xC31C;
    params.description = u"USB Input Device";
    params.service = u"HidUsb";
    params.className = u"HIDClass";
    params.classGuid = u"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
    UsbDevice& device = machine.AttachDevice(hub, port, params);
    DevNode& hid = machine.AddDevNode(*device.devNode, u"HID\\VID_046D&PID_C31C\\7&1a2b3c4d&0&0000");
    hid.SetString(CM_DRP_DEVICEDESC, u"HID Keyboard Device");
    hid.SetString(CM_DRP_SERVICE, u"kbdhid");
    machine.SetDriverClass(hid, u"Keyboard", u"{4d36e96b-e325-11ce-bfc1-08002be10318}");
    return device;
}

inline std::string Text(const Kavelor::WString& text)
{
    return Narrow(WString(text.begin(), text.end()));
}

// Instance IDs of a record's tree in pre-order, root first, with the depth as indentation.
inline std::vector<std::string> TreeIds(const Kavelor::CUSBEnumerateExTree& root)
{
    std::vector<std::string> ids{Text(root.data.strDeviceInstanceId)};
    for (const Kavelor::CUSBEnumerateExTree* node = root.NextPreOrder(); node != nullptr;
         node = node->NextPreOrder())
    {
        int depth = 0;
        for (const Kavelor::CUSBEnumerateExTree* up = node; up->pParent != nullptr; up = up->pParent)
        {
            ++depth;
        }
        ids.push_back(std::string(2 * depth, ' ') + Text(node->data.strDeviceInstanceId));
    }
    return ids;
}
} // namespace kavtest
