// What the scenarios of a port's life share when they run with one
// allocation failing: the whole stack built with or without faults armed,
// every step the application takes held to the statuses it may see, the
// ladder of what a user does until the port works again, and the end of
// the run (both devices removed, both drivers unloaded, their pool checked).
#pragma once

#include <initializer_list>
#include <memory>
#include <set>
#include <string>

#include "sim/kernel/faultrun.h"
#include "tests/port/write_kit.h"

namespace stacktest {

// A refusal because an allocation failed; the application retries.
inline constexpr std::initializer_list<NTSTATUS> kNoResources = {STATUS_INSUFFICIENT_RESOURCES};
// A request ended early by a purge, a close, an unplug or its own failure.
inline constexpr std::initializer_list<NTSTATUS> kEndedEarly = {STATUS_CANCELLED, STATUS_INSUFFICIENT_RESOURCES};

class LifeRun {
 public:
  // With `armed` false the faults start at Arm() (the scenario's own phase);
  // the setup before it runs without any.
  LifeRun(StackConfig config, const sim::MachineOptions& options, bool armed);
  ~LifeRun();
  LifeRun(const LifeRun&) = delete;
  LifeRun& operator=(const LifeRun&) = delete;

  StackRig& Rig() { return *rig_; }
  HANDLE Port() const { return port_; }
  void Arm();

  // Notes a step's status: true when it succeeded; a refusal with one of
  // `accepted` is noted and false; any other status fails the run.
  bool Step(const char* what, NTSTATUS status, std::initializer_list<NTSTATUS> accepted = kNoResources);
  // A finished read or write: the whole length, or a refusal as for Step
  // with nothing moved (a read that timed out may bring less).
  bool Transfer(const char* what, IoResult result, DWORD length, std::initializer_list<NTSTATUS> accepted = kEndedEarly);
  // Fails the run with a message.
  bool Fail(const std::string& why);
  // Opens COM7 for overlapped I/O; a refusal is noted.
  bool Open();
  void Close();
  // The port's device node started, and the port holding its target's pipes.
  bool PortStarted();
  bool Bound() { return PortStarted() && rig_->WaitBound(); }
  // Bytes the far end received until `count` arrived (or a second passed).
  std::vector<uint8_t> FarEndTakes(size_t count);
  void FarEndSends(const std::string& text);

  // Ends the run: makes the port usable again the way a user would, then
  // closes and removes both devices and checks both drivers unloaded.
  // Reports the outcome (how it recovered, the statuses refused) and
  // returns the verdict.
  bool Finish();

 private:
  bool Exchange(int attempt);
  std::string Recover();
  bool Reopen();
  void ReplugAdapter();
  void ReinstallPort();
  bool RemoveBoth();

  const sim::MachineOptions& options_;
  std::unique_ptr<StackRig> rig_;
  HANDLE port_ = INVALID_HANDLE_VALUE;
  std::string failure_;  // the first thing that went wrong, empty while none did
  std::set<std::string> refusals_;
};

}  // namespace stacktest
