#include <gtest/gtest.h>
#include "sim/kernel/machine.h"
TEST(Machine, BootsAndShutsDown) { sim::Machine machine; }
