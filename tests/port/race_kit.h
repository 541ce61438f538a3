// What the race tests share. Each race runs once per delay-fuzzer seed (the
// kernel then yields at random in its calls, in an order the seed fixes);
// RACE_SEEDS sets how many seeds (CI runs a few, `make races` 200,
// `make reliability-races` 1000). ForEachSeed reports, per race family, the
// seeds run and the seeds that failed, in one line tests/port/run_races.sh
// reads; a seed that stops the process (verifier stop, hang) is named on
// stderr before it goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/kernel/thread.h"
#include "tests/port/write_kit.h"

namespace stacktest {

uint32_t RaceSeeds();

// Runs `body` for seeds 1..RaceSeeds(). A failed assertion ends only that
// seed's run; the next seed goes on.
void ForEachSeed(const char* family, const std::function<void(uint32_t seed)>& body);

// A request ended as the port may end it: in full, or cut short by a cancel
// or a timeout with at most its length moved.
bool EndedOnce(IoResult result, DWORD length);

// `got` is `sent` with bytes left out, never reordered or repeated (`sent`
// holds no byte twice: a pipetest::Pattern of at most 250 bytes).
bool InOrderOnce(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent);

// One bound, open port on a machine fuzzed with `seed`; the test plays the
// far end, which holds CTS and DSR up. Paced: the adapter sends at 115200
// baud, so a write longer than its transmit FIFO stays in flight for
// milliseconds.
struct PortRace {
  explicit PortRace(uint32_t seed, bool paced = false);
  ~PortRace();
  // The far end sends `bytes` in pieces of `piece`, `gapMs` apart, from a
  // thread of its own; Join() waits for it.
  void FarEndSends(std::vector<uint8_t> bytes, size_t piece, DWORD gapMs);
  void Join();
  // Reads what the port holds, without waiting, until `read` holds `count`
  // bytes or nothing came for 50 ms. Leaves the port in immediate reads.
  void ReadQueued(size_t count);
  // Everything the far end received, once it holds `count` bytes or nothing
  // came for 50 ms.
  const std::vector<uint8_t>& FarEndReceived(size_t count);
  // The port still works both ways: "ok" goes out and "ko" comes in.
  bool WorksBothWays();

  StackRig rig;
  HANDLE port = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> read;      // what the application read, in order
  std::vector<uint8_t> received;  // what the far end received, in order
  std::unique_ptr<sim::Thread> farEnd;
};

}  // namespace stacktest
