#include "sim/tools/options.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace simulator {

namespace {

bool ParseNumber(const char* text, uint64_t* value) {
  if (!text || !*text) return false;
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return *end == '\0';
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto number = [&](uint64_t* out) {
      if (i + 1 >= argc || !ParseNumber(argv[i + 1], out)) {
        options.error = std::string(arg) + " needs a number";
        return;
      }
      ++i;
    };
    if (arg == "-h" || arg == "--help") options.help = true;
    else if (arg == "--trace") options.trace = true;
    else if (arg == "--real-time") options.realTime = true;
    else if (arg == "--exports") options.exports = true;
    else if (arg == "--fail-nth") number(&options.failNth);
    else if (arg == "--pcap") {
      if (i + 1 >= argc) options.error = "--pcap needs a file name";
      else options.pcap = argv[++i];
    }
    else if (arg == "--pty") options.pty = options.realTime = true;
    else if (arg == "--unpaced") options.unpaced = true;
    else if (arg == "--far" || arg == "--link") {
      std::string& out = arg == "--far" ? options.far : options.link;
      if (i + 1 >= argc || !*argv[i + 1]) options.error = std::string(arg) + " needs a value";
      else out = argv[++i];
      if (arg == "--far" && out != "loopback" && out != "pty" && out != "nullmodem")
        options.error = "--far takes loopback, pty or nullmodem, not '" + out + "'";
    }
    else if (arg == "--delay-fuzz") {
      uint64_t seed = 0;
      number(&seed);
      options.delayFuzzSeed = (uint32_t)seed;
    } else options.error = "unknown option '" + std::string(arg) + "' (see --help)";
    if (!options.error.empty()) break;
  }
  if (options.error.empty() && !options.pty && (options.far != "loopback" || !options.link.empty() || options.unpaced))
    options.error = "--far, --link and --unpaced go with --pty";
  return options;
}

void PrintHelp(const char* program) {
  std::printf(
      "Usage: %s [options]\n"
      "\n"
      "Boots a simulated Windows NT machine, loads the drivers tolvane (serial port)\n"
      "and merrow (USB pipes) and runs the self-check: each driver gets a device, is\n"
      "started, is opened and sent requests by an application, is removed and unloaded,\n"
      "with the verifier and the leak checks on. Prints what happened.\n"
      "\n"
      "Options:\n"
      "  --trace            print every request as it travels down the stack and back\n"
      "  --real-time        run on the host's clock (default: virtual time)\n"
      "  --exports          list the simulated kernel's export table and exit\n"
      "  --fail-nth N       make the N-th pool allocation by a driver fail\n"
      "  --delay-fuzz SEED  yield at random in kernel calls, to widen race windows\n"
      "  --pcap FILE        write every transfer on the USB bus to FILE (pcap, for Wireshark)\n"
      "\n"
      "The serial lab (instead of the self-check; runs in real time until Ctrl-C):\n"
      "  --pty              bridge \\\\.\\COM7 to a pseudo-terminal for Linux serial programs\n"
      "  --far END          the far end of the adapter's line: loopback (the plug, default),\n"
      "                     pty (a second pseudo-terminal plays the device at the other end)\n"
      "                     or nullmodem (a second adapter and COM8, on a pseudo-terminal too)\n"
      "  --link PATH        the stable symlink to the port's slave (default: ttyCOM7 beside\n"
      "                     this program); the far end's (pty or COM8) is PATH-far, the\n"
      "                     preload library's socket PATH.sock\n"
      "  --unpaced          adapters move bytes as fast as the bus instead of at the line rate\n"
      "  -h, --help         show this help\n",
      program);
}

}  // namespace simulator
