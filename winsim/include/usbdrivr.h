// winsim: the USB client-driver header (usbdrivr.h): request blocks, the URB-building macros and the
// internal I/O controls by which a client driver talks to the bus driver below it. The internal controls
// are defined here (not in the user-mode usbioctl.h) with their platform values.
#pragma once

#include "wdm.h"
#include "usb.h"
#include "usbdlib.h"

#ifndef FILE_DEVICE_USB
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#endif

// Function numbers of the internal controls (usbiodef.h on the platform).
#define WINSIM_USB_SUBMIT_URB 0
#define WINSIM_USB_RESET_PORT 1
#define WINSIM_USB_GET_ROOTHUB_PDO 3
#define WINSIM_USB_GET_PORT_STATUS 4
#define WINSIM_USB_ENABLE_PORT 5
#define WINSIM_USB_GET_HUB_COUNT 6
#define WINSIM_USB_CYCLE_PORT 7

#define IOCTL_INTERNAL_USB_SUBMIT_URB                                                                        \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO                                                                   \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_GET_ROOTHUB_PDO, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS                                                                   \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_ENABLE_PORT                                                                       \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_ENABLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT                                                                     \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_GET_HUB_COUNT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT                                                                        \
    CTL_CODE(FILE_DEVICE_USB, WINSIM_USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)

#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "platform value of the URB submission control");
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007, "platform value of the port reset control");
