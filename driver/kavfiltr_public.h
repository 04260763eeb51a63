// What whoever loads Kavfiltr needs to know of it: the service it is installed as, its entry routine and
// the tag its pool blocks carry (so that a leak or an injected allocation failure can be aimed at it).
// Everything else of the driver is private to driver/.
#pragma once

// mingw-w64's DDK headers declare these intrinsics a second time when compiled as C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntddk.h>

// Wide literals in the kernel's own character type; the kernel headers do not define TEXT themselves.
#ifndef TEXT
#define TEXT(quote) L##quote
#endif

// The service name Kavset writes into the filter lists and the driver package installs.
#define KAVFILTR_SERVICE_NAME TEXT("Kavfiltr")

// Every pool block of the driver carries this tag, so that a leak shows under its name ("USUe").
#define KAVFILTR_POOL_TAG 0x65555355UL

extern "C" DRIVER_INITIALIZE DriverEntry;
