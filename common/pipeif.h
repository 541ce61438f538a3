// What the port driver and the pipe driver share: the device interface class
// the pipe driver registers and the port watches for, the pipe driver's
// private control codes with their buffer layouts, and the pipe file names.
// Applications and tests include it too.
#pragma once

#include "common/kernel.h"

// {0A274201-F52F-11D4-9442-006067728D60}
inline constexpr GUID GUID_PIPE_DRIVER_INTERFACE = {
    0x0A274201, 0xF52F, 0x11D4, {0x94, 0x42, 0x00, 0x60, 0x67, 0x72, 0x8D, 0x60}};

// The pipe driver's private codes: device type 0x23, METHOD_BUFFERED,
// FILE_ANY_ACCESS, functions 0 to 12. Input and output share the system buffer.
#define FILE_DEVICE_PIPE_DRIVER 0x00000023
#define PIPE_CTL_CODE(Function) CTL_CODE(FILE_DEVICE_PIPE_DRIVER, Function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_PIPE_GET_CONFIG_DESCRIPTOR PIPE_CTL_CODE(0)  // out: the configuration descriptor, wTotalLength bytes
#define IOCTL_PIPE_ENSURE_PORT_ENABLED PIPE_CTL_CODE(1)    // no buffers
#define IOCTL_PIPE_RESET_PIPE PIPE_CTL_CODE(2)             // pipe file; no buffers
#define IOCTL_PIPE_GET_PIPE_INFO PIPE_CTL_CODE(3)          // pipe file; out: PIPE_INFO_OUTPUT
#define IOCTL_PIPE_START_STATISTICS PIPE_CTL_CODE(4)       // pipe file; no buffers
#define IOCTL_PIPE_STOP_STATISTICS PIPE_CTL_CODE(5)        // pipe file; no buffers
#define IOCTL_PIPE_GET_STATISTICS PIPE_CTL_CODE(6)         // pipe file; out: PIPE_STATISTICS
#define IOCTL_PIPE_VENDOR_COMMAND PIPE_CTL_CODE(7)         // in: the data stage of vendor request 0x0B
#define IOCTL_PIPE_ABORT_PIPE PIPE_CTL_CODE(8)             // pipe file; no buffers
#define IOCTL_PIPE_CONTROL_TRANSFER PIPE_CTL_CODE(9)       // in: PIPE_SETUP_PACKET + data; out: data
#define IOCTL_PIPE_GET_MAX_PACKET_SIZE PIPE_CTL_CODE(10)   // pipe file; out: ULONG
#define IOCTL_PIPE_RESET_PORT PIPE_CTL_CODE(11)            // no buffers
#define IOCTL_PIPE_CYCLE_PORT PIPE_CTL_CODE(12)            // no buffers; PASSIVE_LEVEL only
static_assert(IOCTL_PIPE_GET_CONFIG_DESCRIPTOR == 0x230000 && IOCTL_PIPE_ENSURE_PORT_ENABLED == 0x230004 &&
                  IOCTL_PIPE_RESET_PIPE == 0x230008 && IOCTL_PIPE_GET_PIPE_INFO == 0x23000C &&
                  IOCTL_PIPE_START_STATISTICS == 0x230010 && IOCTL_PIPE_STOP_STATISTICS == 0x230014 &&
                  IOCTL_PIPE_GET_STATISTICS == 0x230018 && IOCTL_PIPE_VENDOR_COMMAND == 0x23001C &&
                  IOCTL_PIPE_ABORT_PIPE == 0x230020 && IOCTL_PIPE_CONTROL_TRANSFER == 0x230024 &&
                  IOCTL_PIPE_GET_MAX_PACKET_SIZE == 0x230028 && IOCTL_PIPE_RESET_PORT == 0x23002C &&
                  IOCTL_PIPE_CYCLE_PORT == 0x230030,
              "the pipe driver's codes as it defines them");
constexpr ULONG PIPE_IOCTL_COUNT = 13;

// The vendor request IOCTL_PIPE_VENDOR_COMMAND puts on the bus (request type 0x40).
constexpr UCHAR PIPE_VENDOR_REQUEST = 0x0B;

// IOCTL_PIPE_GET_PIPE_INFO: the pipe's USBD_PIPE_INFORMATION as the driver
// holds it (20 bytes on x86; the pipe handle makes it 24 on x64).
typedef USBD_PIPE_INFORMATION PIPE_INFO_OUTPUT, *PPIPE_INFO_OUTPUT;
static_assert(sizeof(PIPE_INFO_OUTPUT) == (sizeof(void*) == 4 ? 20 : 24), "USBD_PIPE_INFORMATION as copied");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumPacketSize) == 0 &&
                  offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 2 &&
                  offsetof(USBD_PIPE_INFORMATION, Interval) == 3 && offsetof(USBD_PIPE_INFORMATION, PipeType) == 4 &&
                  offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8,
              "USBD_PIPE_INFORMATION's leading members");

// IOCTL_PIPE_GET_STATISTICS: bytes per second and cycles per byte.
typedef struct _PIPE_STATISTICS {
  ULONG Throughput;
  ULONG CyclesPerByte;
} PIPE_STATISTICS, *PPIPE_STATISTICS;
static_assert(sizeof(PIPE_STATISTICS) == 8 && offsetof(PIPE_STATISTICS, CyclesPerByte) == 4, "PIPE_STATISTICS");

// IOCTL_PIPE_CONTROL_TRANSFER's input starts with a USB setup packet
// (little-endian); a host-to-device request's data stage follows it, a
// device-to-host request's data stage is returned from the buffer's start.
typedef struct _PIPE_SETUP_PACKET {
  UCHAR RequestType;  // bit 7: device to host; bits 5-6: 1 class, 2 vendor; bits 0-4: recipient 0-3
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Length;      // bytes of the data stage
} PIPE_SETUP_PACKET, *PPIPE_SETUP_PACKET;
static_assert(sizeof(PIPE_SETUP_PACKET) == 8 && offsetof(PIPE_SETUP_PACKET, Value) == 2 &&
                  offsetof(PIPE_SETUP_PACKET, Index) == 4 && offsetof(PIPE_SETUP_PACKET, Length) == 6,
              "PIPE_SETUP_PACKET is a USB setup packet");

// IOCTL_PIPE_GET_MAX_PACKET_SIZE: the pipe's MaximumPacketSize, zero-extended.
constexpr ULONG PIPE_MAX_PACKET_SIZE_OUTPUT = sizeof(ULONG);

// Pipe file names, opened below the interface's link. Written without a
// prefix so that either side can make them wide: L"" PIPE_NAME_OUTPUT in
// driver code, u"" PIPE_NAME_OUTPUT in tests. "\EPxx" names an endpoint number
// and "\EAxx" an endpoint address (both hexadecimal), "\PIPExx" a pipe-table
// index (hexadecimal); an empty name opens the device itself.
#define PIPE_NAME_PREFIX_ENDPOINT "\\EP"
#define PIPE_NAME_PREFIX_ADDRESS "\\EA"
#define PIPE_NAME_PREFIX_INDEX "\\PIPE"
constexpr ULONG PIPE_NAME_ENDPOINT_CHARS = 5;  // "\EPxx" and "\EAxx"
constexpr ULONG PIPE_NAME_INDEX_CHARS = 7;     // "\PIPExx"
// The three pipes the port driver opens.
#define PIPE_NAME_OUTPUT "\\PIPE00"
#define PIPE_NAME_INPUT "\\PIPE01"
#define PIPE_NAME_STATUS "\\PIPE02"
