// What an application sees of a port that no USB device is bound to: the
// defaults of a new port, the exclusive open, the queues each open makes,
// and reads, writes and flushes as an unbound port answers them.
#include "tests/port/port_kit.h"

namespace porttest {
namespace {

using PortDefaults = PortTest;
using PortOpen = PortTest;
using UnboundData = PortTest;

TEST_F(PortDefaults, ANewPortIsClosedUnboundAndConfiguredFor115200Baud8N1) {
  PPORT_EXTENSION ext = Ext();
  EXPECT_EQ(ext->EndPointCaps, 0u);
  EXPECT_EQ(ext->StatusPipe.CxPollPeriod, 0);
  EXPECT_EQ(ext->BaudRate, 115200u);
  EXPECT_EQ(ext->LineControl.WordLength, 8);
  EXPECT_EQ(ext->LineControl.Parity, NO_PARITY);
  EXPECT_EQ(ext->LineControl.StopBits, STOP_BIT_1);
  EXPECT_EQ(ext->RxQueueSize, 4096u);
  EXPECT_EQ(ext->TxQueueSize, 4096u);
  EXPECT_EQ(ext->Timeouts.ReadIntervalTimeout, MAXULONG);
  EXPECT_EQ(ext->Timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_TRUE(ext->TargetDetached);
  EXPECT_FALSE(ext->PortOpen);
  EXPECT_EQ(ext->OpenCount, 0);
  EXPECT_EQ(ext->PnpState, (ULONG)PortStarted) << "the Plug and Play manager started it";
  EXPECT_EQ(ext->RxRing.Size, 0u) << "the rings get storage only at open";
  EXPECT_EQ(ext->TxRing.Size, 0u);
  EXPECT_EQ(ext->InputPipe.Length, 1024u);
  EXPECT_NE(ext->InputPipe.Buffer, nullptr);
  EXPECT_EQ(KeReadStateEvent(&ext->IdleEvent), 1) << "idle while nothing is sent to a target";
  EXPECT_EQ(ext->BusyCount, 0);
}

TEST_F(PortDefaults, PipeFilesNameTheirPipesAndVariantZeroHasNoStatusPipe) {
  PPORT_EXTENSION ext = Ext();
  EXPECT_EQ(sim::ToU16(&ext->InputPipe.PipeFile.FileName), u"\\PIPE01");
  EXPECT_EQ(sim::ToU16(&ext->OutputPipe.PipeFile.FileName), u"\\PIPE00");
  EXPECT_EQ(ext->InputPipe.PipeFile.DeviceObject, rig_.Device());
  EXPECT_EQ(ext->StatusPipe.PipeFile.FileName.Length, 0u);
  EXPECT_EQ(ext->StatusPipe.PipeFile.DeviceObject, nullptr);
  EXPECT_TRUE(ext->InputPipe.Stopped);
  EXPECT_TRUE(ext->OutputPipe.Stopped);
}

TEST_F(PortDefaults, TheDeviceObjectIsUnnamedBufferedAndTakesTheLowerDevicesType) {
  PDEVICE_OBJECT device = rig_.Device();
  EXPECT_TRUE(rig_.Machine().Objects().NameOf(device).empty());
  EXPECT_EQ(device->DeviceType, Ext()->LowerDeviceObject->DeviceType);
  EXPECT_TRUE(device->Flags & DO_BUFFERED_IO);
  EXPECT_FALSE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(device->Flags & DO_POWER_PAGABLE, Ext()->LowerDeviceObject->Flags & DO_POWER_PAGABLE);
}

TEST_F(PortDefaults, AnApplicationReadsTheDefaultsThroughTheCommApi) {
  HANDLE port = rig_.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  DCB dcb{};
  ASSERT_TRUE(GetCommState(port, &dcb));
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.XonLim, 2048) << "half the receive queue, set at open";
  EXPECT_EQ(dcb.XoffLim, 512) << "an eighth of the receive queue";
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXULONG);
  DWORD modem = 0xFF;
  ASSERT_TRUE(GetCommModemStatus(port, &modem));
  EXPECT_EQ(modem, 0u) << "an unbound port has no modem lines up";
  CloseHandle(port);
}

TEST_F(PortOpen, ASecondOpenIsRefusedUntilTheFirstHandleIsClosed) {
  HANDLE first = rig_.Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(rig_.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE again = rig_.Open();
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

TEST_F(PortOpen, OpeningAllocatesBothQueuesAndClosingFreesThem) {
  HANDLE port = rig_.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Ext()->PortOpen);
  EXPECT_EQ(Ext()->RxRing.Size, 4096u);
  EXPECT_EQ(Ext()->TxRing.Size, 4096u);
  EXPECT_TRUE(Ext()->DeviceReady) << "variant 0 is ready at once";
  EXPECT_FALSE(Ext()->OutputPipe.Stopped) << "the open allows transmission";
  CloseHandle(port);
  EXPECT_FALSE(Ext()->PortOpen);
  EXPECT_EQ(Ext()->RxRing.Size, 0u);
  EXPECT_EQ(Ext()->TxRing.Size, 0u);
  EXPECT_EQ(Ext()->OpenCount, 0);
}

TEST_F(PortOpen, QueueSizesAnApplicationSetLastOnlyUntilItsHandleIsClosed) {
  HANDLE port = rig_.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(SetupComm(port, 8192, 8192)) << "unbound, restarting the input loop fails";
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  COMMPROP properties{};
  ASSERT_TRUE(GetCommProperties(port, &properties));
  EXPECT_EQ(properties.dwCurrentRxQueue, 8192u) << "the ring's storage was replaced anyway";
  EXPECT_EQ(properties.dwCurrentTxQueue, 4096u) << "the transmit queue size never changes";
  EXPECT_EQ(Ext()->RxRing.Size, 8192u);
  CloseHandle(port);

  port = rig_.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(GetCommProperties(port, &properties));
  EXPECT_EQ(properties.dwCurrentRxQueue, 4096u);
  EXPECT_EQ(properties.dwCurrentTxQueue, 4096u);
  EXPECT_EQ(Ext()->RxRing.Size, 4096u);
  CloseHandle(port);
}

TEST_F(PortOpen, AnOpenWhoseQueuesCannotBeAllocatedFailsAndLeavesThePortClosed) {
  sim::FaultPlan plan;
  plan.failTag = PORT_POOL_TAG;
  rig_.Machine().Pool().SetFaultPlan(plan);
  EXPECT_EQ(rig_.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_INSUFFICIENT_RESOURCES);
  rig_.Machine().Pool().SetFaultPlan({});
  EXPECT_FALSE(Ext()->PortOpen);
  EXPECT_EQ(Ext()->OpenCount, 0);
  EXPECT_EQ(Ext()->RxRing.Storage, nullptr);
  EXPECT_EQ(Ext()->TxRing.Storage, nullptr);
  HANDLE port = rig_.Open();
  EXPECT_NE(port, INVALID_HANDLE_VALUE) << "the next open succeeds";
  CloseHandle(port);
}

TEST_F(PortOpen, AnOpenAfterRemovalIsRefused) {
  Ext()->Removed = TRUE;
  EXPECT_EQ(rig_.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_NO_SUCH_DEVICE);
  Ext()->Removed = FALSE;
  Ext()->SurpriseRemoved = TRUE;
  EXPECT_EQ(rig_.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_NO_SUCH_DEVICE);
  Ext()->SurpriseRemoved = FALSE;
  EXPECT_EQ(Ext()->OpenCount, 0);
}

class PortOpenShared : public PortTest {
 protected:
  PortOpenShared() : PortTest({.exclusive = false}) {}
};

TEST_F(PortOpenShared, ThePortItselfAdmitsOneOpenWhenTheDeviceNodeIsNotExclusive) {
  HANDLE first = rig_.Open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(rig_.Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Ext()->OpenCount, 1) << "the refused open changed nothing";
  EXPECT_EQ(Ext()->RxRing.Size, 4096u);
  CloseHandle(first);
}

class PortOpenVariant3 : public PortTest {
 protected:
  PortOpenVariant3() : PortTest({.endPointCaps = 3}) {}
};

TEST_F(PortOpenVariant3, AnUnboundOpenRaisesDtrAndRtsAndSendsNothing) {
  HANDLE port = rig_.Open();
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Ext()->ModemControl, MODEM_CONTROL_DTR | MODEM_CONTROL_RTS);
  EXPECT_FALSE(Ext()->DeviceReady) << "the device was never told the port is open";
  DWORD state = 0;
  EXPECT_EQ(Ioctl(port, IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &state, sizeof state).status, STATUS_SUCCESS);
  EXPECT_EQ(state, (DWORD)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
  CloseHandle(port);
}

TEST_F(UnboundData, AReadInTheDefaultModeReturnsAtOnceWithNothing) {
  HANDLE port = rig_.Open();
  UCHAR buffer[100];
  DWORD read = 77;
  EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(LastIoBoost(), IO_SERIAL_INCREMENT);
  CloseHandle(port);
}

TEST_F(UnboundData, AReadIsServedFromTheReceiveRing) {
  HANDLE port = rig_.Open();
  const UCHAR bytes[30] = {1, 2, 3};
  rig_.AsDriver([&] { StoreReceivedBytes(Ext(), bytes, sizeof bytes); });
  UCHAR buffer[100];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 30u);
  EXPECT_EQ(buffer[2], 3);
  CloseHandle(port);
}

TEST_F(UnboundData, AZeroLengthReadOrWriteIsRefused) {
  HANDLE port = rig_.Open();
  UCHAR byte = 0;
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(port, &byte, 0, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(WriteFile(port, &byte, 0, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_INVALID_PARAMETER);
  CloseHandle(port);
}

TEST_F(UnboundData, AWriteSucceedsWithNothingWritten) {
  HANDLE port = rig_.Open();
  const char text[10] = "abcdefghi";
  DWORD written = 99;
  EXPECT_TRUE(WriteFile(port, text, sizeof text, &written, nullptr));
  EXPECT_EQ(written, 0u);
  COMSTAT status{};
  ASSERT_TRUE(ClearCommError(port, nullptr, &status));
  EXPECT_EQ(status.cbOutQue, 0u) << "a swallowed write is not queued";
  CloseHandle(port);
}

TEST_F(UnboundData, AFlushIsRefusedWithoutATarget) {
  HANDLE port = rig_.Open();
  EXPECT_FALSE(FlushFileBuffers(port));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  CloseHandle(port);
}

TEST_F(UnboundData, ReadsAndWritesAfterRemovalAreRefused) {
  HANDLE port = rig_.Open();
  Ext()->SurpriseRemoved = TRUE;
  UCHAR buffer[4];
  DWORD done = 0;
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_FALSE(WriteFile(port, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_FALSE(FlushFileBuffers(port));
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  Ext()->SurpriseRemoved = FALSE;
  CloseHandle(port);
}

TEST_F(UnboundData, AFirstByteReadEndsAfterItsConstantWithNothing) {
  HANDLE port = rig_.Open();
  COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  UCHAR buffer[16];
  DWORD read = 77;
  LONGLONG start = Now();
  EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ((Now() - start) / kMs, 500) << "the total timer of the first-byte mode";
  CloseHandle(port);
}

TEST_F(UnboundData, ATotalTimeoutCountsTheMultiplierPerByteAsked) {
  HANDLE port = rig_.Open();
  COMMTIMEOUTS timeouts{0, 10, 100, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  UCHAR buffer[50];
  DWORD read = 77;
  LONGLONG start = Now();
  EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ((Now() - start) / kMs, 600) << "50 × 10 + 100 ms";
  CloseHandle(port);
}

TEST_F(UnboundData, AFirstByteReadCompletesWithTheBytesThatArrive) {
  HANDLE port = rig_.Open(FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{MAXULONG, MAXULONG, 500, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  UCHAR buffer[16];
  OVERLAPPED overlapped = WithEvent();
  EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const UCHAR bytes[3] = {7, 8, 9};
  rig_.AsDriver([&] {
    StoreReceivedBytes(Ext(), bytes, sizeof bytes);
    ServiceCurrentRead(Ext());
  });
  DWORD read = 0;
  EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &read, TRUE));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(buffer[0], 7);
  CloseHandle(overlapped.hEvent);
  CloseHandle(port);
}

TEST_F(UnboundData, AReadWithoutTimeoutsWaitsUntilPurgedOrClosed) {
  HANDLE port = rig_.Open(FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  UCHAR first[8], second[8];
  OVERLAPPED one = WithEvent(), two = WithEvent();
  EXPECT_FALSE(ReadFile(port, first, sizeof first, nullptr, &one));
  EXPECT_FALSE(ReadFile(port, second, sizeof second, nullptr, &two));
  EXPECT_EQ(WaitForSingleObject(one.hEvent, 5000), WAIT_TIMEOUT) << "nothing ends a read without timeouts";
  EXPECT_TRUE(PurgeComm(port, PURGE_RXABORT));
  EXPECT_EQ(WaitForSingleObject(one.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ((NTSTATUS)one.Internal, STATUS_CANCELLED);
  EXPECT_EQ((NTSTATUS)two.Internal, STATUS_CANCELLED) << "the queued read is cancelled too";
  EXPECT_EQ(one.InternalHigh, 0u);

  OVERLAPPED three = WithEvent();
  EXPECT_FALSE(ReadFile(port, first, sizeof first, nullptr, &three));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "the queue works again after a purge";
  CloseHandle(port);
  EXPECT_EQ(WaitForSingleObject(three.hEvent, 0), WAIT_OBJECT_0) << "cleanup ends the read";
  EXPECT_EQ((NTSTATUS)three.Internal, STATUS_CANCELLED);
  for (HANDLE event : {one.hEvent, two.hEvent, three.hEvent}) CloseHandle(event);
}

TEST_F(UnboundData, QueuedReadsAreServedInOrder) {
  HANDLE port = rig_.Open(FILE_FLAG_OVERLAPPED);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 0};
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  UCHAR first[4], second[2];
  OVERLAPPED one = WithEvent(), two = WithEvent();
  EXPECT_FALSE(ReadFile(port, first, sizeof first, nullptr, &one));
  EXPECT_FALSE(ReadFile(port, second, sizeof second, nullptr, &two));
  const UCHAR bytes[6] = {1, 2, 3, 4, 5, 6};
  rig_.AsDriver([&] {
    StoreReceivedBytes(Ext(), bytes, 3);
    ServiceCurrentRead(Ext());
  });
  EXPECT_EQ(WaitForSingleObject(one.hEvent, 0), WAIT_TIMEOUT) << "the first read wants four bytes";
  rig_.AsDriver([&] {
    StoreReceivedBytes(Ext(), bytes + 3, 3);
    ServiceCurrentRead(Ext());
  });
  EXPECT_EQ(WaitForSingleObject(one.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(two.hEvent, 0), WAIT_OBJECT_0) << "the second starts with what is left";
  EXPECT_EQ(one.InternalHigh, 4u);
  EXPECT_EQ(two.InternalHigh, 2u);
  EXPECT_EQ(first[3], 4);
  EXPECT_EQ(second[0], 5);
  EXPECT_EQ(second[1], 6);
  CloseHandle(one.hEvent);
  CloseHandle(two.hEvent);
  CloseHandle(port);
}

}  // namespace
}  // namespace porttest
