// winsim/machine: the machine description format (JSON), loaded onto the builder of machine.h. A
// description that does not follow the format throws std::runtime_error naming the offending part; what
// the builder itself refuses (a duplicate instance ID, a taken port) stays a violation.
//
// {
//   "services": ["Kavfiltr", {"name": "USBSTOR", "type": 1, "start": 3, "imagePath": "..."}],
//   "volumes": [{"letters": ["C"], "size": "120GiB"}],               volumes not on a USB disk
//   "failSets": {"allDevices": false, "interfaces": ["{guid}"]},     setup-API sets that fail to open
//   "token": {"administrators": true, "threadAdministrators": false}, the user; thread: impersonating
//   "classInstallerFlags": "0x100",                                   added after a property change
//   "controllers": [{
//     "instanceId": "PCI\\VEN_8086&DEV_1C26\\3&11583659&0&E8", "description": "...", "service": "usbehci",
//     "legacyName": 0, "interface": true, "reportedDriverKey": "...",
//     "faults": [{"ioctl": "IOCTL_GET_HCD_DRIVERKEY_NAME", "atCall": 2}],
//     "rootHub": HUB }]
// }
// HUB:    {"ports": 4, "instanceId": "...", "reportedPorts": 255, "connectionInfoEx": true, "faults": [...],
//          "devices": [DEVICE]}
// DEVICE: {"port": 1, "vid": "0x3A7E", "pid": "0x1201", "serial": "...", "instanceId": "...",
//          "status": "DeviceConnected", "speed": 2, "lowSpeed": false, "reportedDriverKey": "...",
//          "reportedHubName": "...",
//          "hub": HUB, "luns": [LUN], NODE fields}
// LUN:    {"size": "64MiB", "letters": ["E"], "vendor": "...", "product": "...", "revision": "1.00",
//          "inUse": false (files open on its volume), NODE fields for the USBSTOR disk node}
// NODE:   {"instanceId": "...", "description": "...", "service": "...", "class": "...", "classGuid": "...",
//          "friendlyName": "...", "lowerFilters": [...], "upperFilters": [...], "problem": 0,
//          "properties": {"LocationInformation": "text" or ["multi", "string"]},
//          "unreadable": ["LowerFilters"], "unwritable": ["FriendlyName"], "removalRelations": ["..."],
//          "children": [NODE]}
#pragma once

#include "winsim/machine/machine.h"

#include <memory>
#include <string>

namespace winsim::machine
{
std::unique_ptr<Machine> LoadMachineJson(const std::string& text);
std::unique_ptr<Machine> LoadMachineFile(const std::string& path);
} // namespace winsim::machine
