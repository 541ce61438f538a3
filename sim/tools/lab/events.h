// The serial lab's progress and status lines on stderr: one line per event
// that matters (bound, settings changed, modem lines, unplugged), stamped
// with the machine's clock, so that a client's own output on the terminal
// stays apart from them.
#pragma once

namespace simulator::lab {

void Event(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace simulator::lab
