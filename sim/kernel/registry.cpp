// Placeholder: the registry (being written).
#include "sim/kernel/registry.h"
namespace sim {
struct Registry::Impl {};
Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;
}  // namespace sim
