// winsim: the NT driver kit header (ntddk.h) on the Linux host. Everything the product's kernel code uses
// is declared by wdm.h; this header exists so that code written for the full kit includes unchanged.
#pragma once

#include "wdm.h"

#define _NTDDK_
