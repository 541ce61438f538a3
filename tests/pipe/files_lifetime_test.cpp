// Pipe files across the device's life: refused while the device is not
// usable, and files that stay open across a stop never reach the
// configuration that was released nor the one that replaced it.
#include "tests/pipe/io_kit.h"

namespace pipetest {
namespace {

TEST_F(PipeTest, OpensAreRefusedBetweenQueryRemoveAndCancelRemove) {
  HANDLE early = rig_.Open(u"\\PIPE00");
  ASSERT_EQ(SendPnp(rig_.Device(), IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(rig_.Open(u"\\PIPE01"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  EXPECT_EQ(rig_.Open(u""), INVALID_HANDLE_VALUE) << "device handles too";
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  ASSERT_EQ(SendPnp(rig_.Device(), IRP_MN_CANCEL_REMOVE_DEVICE).Status, STATUS_SUCCESS);
  HANDLE late = rig_.Open(u"\\PIPE01");
  EXPECT_NE(late, INVALID_HANDLE_VALUE);
  CloseHandle(late);
  CloseHandle(early);
}

TEST_F(PipeTest, OpensAreRefusedBetweenQueryStopAndCancelStop) {
  ASSERT_EQ(SendPnp(rig_.Device(), IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
  EXPECT_EQ(rig_.Open(u"\\PIPE00"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(LastNtStatus(), STATUS_DELETE_PENDING);
  ASSERT_EQ(SendPnp(rig_.Device(), IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
  HANDLE file = rig_.Open(u"\\PIPE00");
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
}

// A close cannot be refused: one between a query and its cancellation lets
// go of the pipe, which opens again once the query is cancelled.
TEST_F(PipeTest, AClosedPipeOpensAgainAfterACancelledQuery) {
  for (UCHAR query : {(UCHAR)IRP_MN_QUERY_STOP_DEVICE, (UCHAR)IRP_MN_QUERY_REMOVE_DEVICE}) {
    SCOPED_TRACE(query);
    HANDLE file = rig_.Open(u"\\PIPE01");
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SendPnp(rig_.Device(), query).Status, STATUS_SUCCESS);
    CloseHandle(file);
    UCHAR cancel = query == IRP_MN_QUERY_STOP_DEVICE ? IRP_MN_CANCEL_STOP_DEVICE : IRP_MN_CANCEL_REMOVE_DEVICE;
    ASSERT_EQ(SendPnp(rig_.Device(), cancel).Status, STATUS_SUCCESS);
    HANDLE again = rig_.Open(u"\\PIPE01");
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the pipe stayed marked open";
    CloseHandle(again);
  }
}

// A rebalance stops the device (its configuration is freed) and starts it
// again with a new one, possibly at the same addresses. A file opened before
// is refused like an unbound file and closes without touching either.
TEST_F(PipeTest, FileOpenAcrossAStopNeverReachesTheNewConfiguration) {
  HANDLE old = rig_.Open(u"\\PIPE01");
  HANDLE device = rig_.Open(u"");
  ASSERT_NE(old, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(rig_.Pnp().Rebalance(rig_.Node()));
  rig_.Pnp().WaitIdle();
  ASSERT_TRUE(Ext()->Started);
  ASSERT_NE(Ext()->ConfigRecord, nullptr);

  uint8_t byte = 0;
  EXPECT_EQ(ReadPipe(old, &byte, 1).status, STATUS_INVALID_HANDLE);
  PIPE_INFO_OUTPUT info;
  EXPECT_EQ(Ioctl(old, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(Ioctl(old, IOCTL_PIPE_RESET_PIPE).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Ioctl(old, IOCTL_PIPE_START_STATISTICS).status, STATUS_INVALID_HANDLE);
  EXPECT_EQ(Ioctl(device, IOCTL_PIPE_GET_CONFIG_DESCRIPTOR, nullptr, 0, &info, 0).status, STATUS_BUFFER_TOO_SMALL)
      << "a device handle keeps working with the new configuration";

  HANDLE fresh = rig_.Open(u"\\PIPE01");
  EXPECT_NE(fresh, INVALID_HANDLE_VALUE) << "the new configuration starts with every pipe closed";
  EXPECT_TRUE(CloseHandle(old));
  EXPECT_EQ(Ext()->ConfigRecord->PipeTable[1].PipeInfo->PipeFlags, 1u) << "closing the old file left the new open";
  EXPECT_EQ(Ioctl(fresh, IOCTL_PIPE_GET_PIPE_INFO, nullptr, 0, &info, sizeof info).status, STATUS_SUCCESS);
  CloseHandle(fresh);
  CloseHandle(device);
}

}  // namespace
}  // namespace pipetest
