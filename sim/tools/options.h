// Command-line options of the simulator program.
#pragma once

#include <cstdint>
#include <string>

namespace simulator {

struct Options {
  bool help = false;
  bool trace = false;        // print every request as it travels down and back
  bool realTime = false;     // run on the host's clock instead of virtual time
  bool exports = false;      // list the kernel's export table and exit
  uint64_t failNth = 0;      // fail the n-th driver allocation
  uint32_t delayFuzzSeed = 0;
  std::string pcap;          // capture the USB bus to this file
  bool pty = false;          // the serial lab: bridge COM7 to a pseudo-terminal (sim/tools/lab)
  std::string far = "loopback";  // the lab's far end: loopback, pty or nullmodem
  std::string link;          // the lab's symlink to the slave (empty: ttyCOM7 beside the program)
  bool unpaced = false;      // the lab's adapters move bytes as fast as the bus, not at the line rate
  std::string error;         // set when the command line is bad
};

Options ParseOptions(int argc, char** argv);
void PrintHelp(const char* program);

}  // namespace simulator
