// What an observer of a tolvane port on the host (the simulator's checks, the
// lab, the fuzz kit, the tests) may wait for before it uses the port.
#pragma once

#include "port/port.h"

namespace portstate {

// Whether the loop of `pipe` runs; read under the loop's lock.
inline bool LoopActive(PIPE_CONTEXT& pipe) {
  KIRQL irql = KfAcquireSpinLock(&pipe.LoopLock);
  bool active = pipe.LoopActive;
  KfReleaseSpinLock(&pipe.LoopLock, irql);
  return active;
}

// The busy count of a bound port with nothing in flight: the binding's own
// hold and one pipe read per running loop.
inline LONG SettledBusyCount(PPORT_EXTENSION port) {
  return 1 + (LoopActive(port->InputPipe) ? 1 : 0) + (LoopActive(port->StatusPipe) ? 1 : 0);
}

// Bound, with the binding work done: the pipes are open, the work item has
// given back its busy hold and, on an open port, the data path was restarted
// (the binding cancels the reads and writes it finds, then starts the
// receive loop). A request the application makes before then may be one the
// binding cancels.
inline bool BoundAndSettled(PPORT_EXTENSION port) {
  if (!ReadShared(port->TargetStarted) || !ReadShared(port->StatusPipeOpen)) return false;
  return ReadShared(port->BusyCount) == SettledBusyCount(port) &&
         (!ReadShared(port->PortOpen) || !ReadShared(port->InputPipe.Stopped));
}

}  // namespace portstate
