// winsim: the USB driver interface header (usbdi.h): the request blocks of usb.h plus the internal I/O
// controls a client driver uses to submit them.
#pragma once

#include "usb.h"
#include "usbdrivr.h"
