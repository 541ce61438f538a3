#include <cstdio>
#include "sim/kernel/machine.h"
int main(int argc, char** argv) {
  sim::Machine machine;
  std::puts("booted");
  return 0;
}
