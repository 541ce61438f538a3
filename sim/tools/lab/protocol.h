// What the preload library (libsimtty.so) and the bridge say to each other
// over the port's local socket (the symlink's path with ".sock"): one text
// line a request, one line an answer, "OK [numbers]" or "ERR text".
//
//   MGET                -> OK <TIOCM_* bits: CTS DSR RI CD from the driver, RTS DTR as set>
//   MSET|MBIS|MBIC bits -> OK            (RTS and DTR through EscapeCommFunction)
//   MIWAIT mask         -> OK            (once one of the lines in mask changed)
//   ICOUNT              -> OK cts dsr rng dcd rx tx brk
//   BREAK ms | BRKON | BRKOFF -> OK      (SetCommBreak, ClearCommBreak)
//   DRAIN               -> OK            (the driver's output queue is empty)
//   FRAME bits parity   -> OK            (data bits 5..8, parity N E O: for the next tcsetattr)
//   APPLY               -> OK            (the terminal's settings to the driver, now)
//   FRAMEGET            -> OK bits parity      (parity 0 none, 1 odd, 2 even)
// and, for the lab's tests, about the simulated hardware:
//   LINE                -> OK baud bits parity stop   (what the adapter's UART runs at)
//   UNPLUG | REPLUG     -> OK            (the port's adapter pulled out, plugged in again)
#pragma once

namespace simulator::lab {

constexpr const char* kSocketSuffix = ".sock";
// The preload library's environment: the path (or symlink) of the bridged port.
constexpr const char* kPortVariable = "SIMTTY_PORT";

}  // namespace simulator::lab
