// merrow's device frame: the device object AddDevice makes, its extension
// after start, the interface it registers, and the request count.
#include "tests/pipe/pipe_kit.h"

namespace pipetest {
namespace {

TEST(PipeFrame, AdapterPluggedInStartsMerrowWithItsInterface) {
  PipeRig rig;
  ASSERT_NE(rig.Device(), nullptr) << "merrow is the adapter's function driver";
  EXPECT_EQ(rig.Node()->State(), sim::NodeState::Started);
  ASSERT_EQ(rig.Links().size(), 1u);
  PPIPE_DEVICE_EXTENSION ext = rig.Extension();
  EXPECT_TRUE(ext->Started);
  EXPECT_EQ(ext->PendingIoCount, 1) << "only the base count while idle";
  EXPECT_EQ(ext->MaximumTransferSize, 4096u);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(sim::Upcase(std::u16string((const char16_t*)ext->InterfaceName)), sim::Upcase(rig.Link()));
  ASSERT_NE(ext->ConfigRecord, nullptr);
}

}  // namespace
}  // namespace pipetest
