// Placeholder: the power manager (being written).
#include "sim/kernel/power.h"
namespace sim {
struct PowerManager::Impl {};
PowerManager::PowerManager() : impl_(std::make_unique<Impl>()) {}
PowerManager::~PowerManager() = default;
}  // namespace sim
