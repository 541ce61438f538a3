// The kernel API as driver code sees it on the host: the same names, records
// and semantics as the Windows DDK, implemented by the simulated kernel.
#pragma once

#include "sim/ddk/ntdef.h"
#include "sim/ddk/wdmtypes.h"
#include "sim/ddk/wdm.h"
#include "sim/ddk/wdmpnp.h"
#include "sim/ddk/ntddser.h"
// USB, in the order common/kernel.h includes the real headers on Windows.
#include "sim/ddk/usb.h"
#include "sim/ddk/usbioctl.h"
#include "sim/ddk/usbdlib.h"
