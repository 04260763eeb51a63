// Taking Kavfiltr off every device of the machine before its service is deleted. Windows does not start a
// device whose filter lists name a service that does not exist, and a disabled device still names the
// filter in its storage nodes' upper filters; so uninstalling the product must clean every device node,
// present or not (a stick enabled last week and unplugged since still carries the entries), and may only
// delete the service when no node names it any more.
#pragma once

namespace Kavelor
{
const int REMOVAL_OK = 0;              // no node names the filter; every present node that did restarted
const int REMOVAL_RESTART_PENDING = 1; // no node names the filter; a node's restart failed or is pending
const int REMOVAL_FAILED = -1;         // a node may still name the filter: the service must stay

// "Kavfiltr" out of the lower and upper filters and the marker friendly name off every device node, then
// the present nodes that named the filter restarted (a node below one restarted already is not restarted
// again). A node that fails is skipped and the others are still cleaned.
int RemoveFilterFromAllDevices();
} // namespace Kavelor
