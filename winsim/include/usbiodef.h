// winsim: the function numbers of the USB host-controller and hub I/O controls. USB devices use the
// generic device type, as on Windows.
#pragma once

#include <winioctl.h>

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

#define USB_GET_NODE_INFORMATION 258
#define USB_GET_NODE_CONNECTION_INFORMATION 259
#define USB_GET_NODE_CONNECTION_NAME 261
#define USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 264
#define USB_GET_NODE_CONNECTION_INFORMATION_EX 274

#define HCD_GET_ROOT_HUB_NAME 258
#define HCD_GET_DRIVERKEY_NAME 265
