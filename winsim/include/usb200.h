// winsim: the USB 2.0 descriptor header; the descriptors the product uses are those of USB 1.x.
#pragma once

#include "usb100.h"
