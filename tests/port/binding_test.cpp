// The port binding to merrow's interface and letting go of it.
#include "tests/port/stack_kit.h"

namespace stacktest {
namespace {

TEST(Binding, Smoke) {
  StackRig rig;
  bool bound = rig.WaitBound();
  PPORT_EXTENSION port = rig.Port();
  printf("started %d detached %d file %p dev %p open %d%d%d busy %d loops %d %d\n", port->TargetStarted, port->TargetDetached, (void*)port->TargetFileObject, (void*)port->TargetDeviceObject, port->OutputPipeOpen, port->InputPipeOpen, port->StatusPipeOpen, (int)port->BusyCount, port->InputPipe.LoopActive, port->StatusPipe.LoopActive);
  ASSERT_TRUE(bound);
  EXPECT_TRUE(port->OutputPipeOpen && port->InputPipeOpen && port->StatusPipeOpen);
  EXPECT_EQ(port->InputPipe.Length, 64u);
  HANDLE com = rig.Open();
  ASSERT_NE(com, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetTimeouts(com, 0, 0, 500));
  const uint8_t text[] = "hello, port";
  rig.Adapter().PeerSend(std::span(text, sizeof text - 1));
  uint8_t buffer[32] = {};
  IoResult r = Read(com, buffer, sizeof text - 1);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, sizeof text - 1);
  EXPECT_EQ(std::string((char*)buffer, r.bytes), "hello, port");
  CloseHandle(com);
}

}  // namespace
}  // namespace stacktest
