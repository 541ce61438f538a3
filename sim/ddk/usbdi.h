// The obsolete usbdi.h additions. Driver code does not include this (the
// Windows build's kernel.h does not either); the simulated bus uses it.
#pragma once

#include "sim/ddk/usb.h"
#include "sim/ddk/usbioctl.h"

#define USBD_STATUS_CANCELLING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000L)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100L)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000L)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500L)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xC0000000L)
#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#define USBD_STATUS(Status) ((ULONG)(Status) & 0x0FFFFFFFL)
