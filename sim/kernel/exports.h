// The simulated kernel's export table: every routine the drivers may call,
// with whether it is implemented yet.
#pragma once

#include <vector>

namespace sim {

struct Export {
  const char* name;
  const void* address;
  bool implemented;
};

const std::vector<Export>& ExportTable();

}  // namespace sim
