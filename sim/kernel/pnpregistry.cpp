// The device node's hardware key (placeholder until the registry lands).
#include "sim/kernel/pnpinternal.h"

namespace sim {

void PnpManager::Impl::WriteHardwareKey(DeviceNode* node, const RootDeviceConfig* config) {}

}  // namespace sim
