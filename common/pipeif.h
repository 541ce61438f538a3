// What the port driver and the pipe driver share: the device interface class
// the pipe driver registers and the port watches for, and the private control
// codes that the port sends to the pipe driver's pipes.
#pragma once

#include "common/kernel.h"

// {0A274201-F52F-11D4-9442-006067728D60}
inline constexpr GUID GUID_PIPE_DRIVER_INTERFACE = {
    0x0A274201, 0xF52F, 0x11D4, {0x94, 0x42, 0x00, 0x60, 0x67, 0x72, 0x8D, 0x60}};

// The pipe driver's private codes: device type 0x23, METHOD_BUFFERED, FILE_ANY_ACCESS.
#define FILE_DEVICE_PIPE_DRIVER 0x00000023
#define IOCTL_PIPE_ENSURE_PORT_ENABLED CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_RESET_PIPE CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_VENDOR_COMMAND CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_ABORT_PIPE CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_GET_MAX_PACKET_SIZE CTL_CODE(FILE_DEVICE_PIPE_DRIVER, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)
static_assert(IOCTL_PIPE_ENSURE_PORT_ENABLED == 0x230004 && IOCTL_PIPE_RESET_PIPE == 0x230008 &&
                  IOCTL_PIPE_VENDOR_COMMAND == 0x23001C && IOCTL_PIPE_ABORT_PIPE == 0x230020 &&
                  IOCTL_PIPE_GET_MAX_PACKET_SIZE == 0x230028,
              "the pipe driver's codes as it defines them");
