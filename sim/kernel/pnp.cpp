// Placeholder: the Plug and Play manager (being written).
#include "sim/kernel/pnp.h"
namespace sim {
struct PnpManager::Impl {};
PnpManager::PnpManager() : impl_(std::make_unique<Impl>()) {}
PnpManager::~PnpManager() = default;
void PnpManager::Shutdown() {}
DeviceNode* PnpManager::NodeOfPdo(PDEVICE_OBJECT) { return nullptr; }
std::u16string DeviceNode::HardwareKeyPath() const { return {}; }
struct Notifications::Impl {};
Notifications::Notifications() : impl_(std::make_unique<Impl>()) {}
Notifications::~Notifications() = default;
}  // namespace sim
