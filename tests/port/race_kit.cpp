#include "tests/port/race_kit.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace stacktest {
namespace {

// The race in progress, for the abort handler.
std::atomic<const char*> runningFamily{nullptr};
std::atomic<uint32_t> runningSeed{0};

void AppendNumber(char* line, size_t size, uint32_t value) {
  char digits[12];
  int n = 0;
  do digits[n++] = (char)('0' + value % 10); while ((value /= 10) && n < 12);
  size_t at = std::strlen(line);
  while (n > 0 && at + 1 < size) line[at++] = digits[--n];
  line[at] = 0;
}

// A verifier stop or a hang report aborts the process: the line names the
// seed it stopped at (only async-signal-safe calls here).
void OnAbort(int) {
  const char* family = runningFamily.load();
  if (!family) return;
  char line[256] = "[ race     ] aborted: ";
  std::strncat(line, family, 150);
  std::strncat(line, " seed ", 10);
  AppendNumber(line, sizeof line, runningSeed.load());
  std::strncat(line, "\n", 2);
  ssize_t ignored = write(STDERR_FILENO, line, std::strlen(line));
  (void)ignored;
}

int FailedParts() {
  const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
  int failed = 0;
  for (int i = 0; i < result->total_part_count(); ++i) failed += result->GetTestPartResult(i).failed() ? 1 : 0;
  return failed;
}

}  // namespace

uint32_t RaceSeeds() {
  const char* text = std::getenv("RACE_SEEDS");
  return text && std::atoi(text) > 0 ? (uint32_t)std::atoi(text) : 4;
}

void ForEachSeed(const char* family, const std::function<void(uint32_t seed)>& body) {
  std::signal(SIGABRT, OnAbort);
  runningFamily = family;
  std::string failedSeeds;
  uint32_t seeds = RaceSeeds(), failures = 0;
  for (uint32_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE(::testing::Message() << family << ", seed " << seed);
    runningSeed = seed;
    int before = FailedParts();
    body(seed);
    if (FailedParts() > before) {
      ++failures;
      failedSeeds += (failedSeeds.empty() ? "" : ",") + std::to_string(seed);
    }
  }
  runningFamily = nullptr;
  std::printf("[ race     ] %s | %u seeds | %u failed | %s\n", family, seeds, failures,
              failedSeeds.empty() ? "-" : failedSeeds.c_str());
  std::fflush(stdout);
}

}  // namespace stacktest

namespace stacktest {

bool EndedOnce(IoResult result, DWORD length) {
  return (result.status == STATUS_SUCCESS && result.bytes <= length) ||
         (result.status == STATUS_CANCELLED && result.bytes <= length);
}

bool InOrderOnce(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent) {
  size_t at = 0;
  for (uint8_t byte : got) {
    while (at < sent.size() && sent[at] != byte) ++at;
    if (at++ == sent.size()) return false;
  }
  return true;
}

namespace {

StackConfig RaceConfig(bool paced) {
  StackConfig config{.endPointCaps = 2};
  config.pipe.adapter.pacing = paced;
  return config;
}

}  // namespace

PortRace::PortRace(uint32_t seed, bool paced) : rig(RaceConfig(paced), {.delayFuzzSeed = seed}) {
  if (!rig.WaitBound()) return;
  port = rig.Open(FILE_FLAG_OVERLAPPED);
  if (port != INVALID_HANDLE_VALUE && UseHardwareFlow(port))
    rig.Adapter().PeerSetLines(sim::usb::kLineCts | sim::usb::kLineDsr);
}

PortRace::~PortRace() {
  Join();
  if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
}

void PortRace::FarEndSends(std::vector<uint8_t> bytes, size_t piece, DWORD gapMs) {
  Join();
  farEnd = std::make_unique<sim::Thread>("far end", [this, bytes = std::move(bytes), piece, gapMs] {
    for (size_t at = 0; at < bytes.size(); at += piece) {
      if (gapMs) Sleep(gapMs);
      rig.Adapter().PeerSend(std::span(bytes.data() + at, std::min(piece, bytes.size() - at)));
    }
  });
}

void PortRace::Join() {
  if (farEnd) farEnd->Join();
  farEnd.reset();
}

namespace {

// Nothing came for this many milliseconds of the machine's clock: nothing is
// on its way any more (the far end's sender has been joined).
constexpr int kQuietMs = 50;

// Appends `more` to `to`; counts the quiet milliseconds in `quiet`.
void Collect(std::vector<uint8_t>& to, const std::vector<uint8_t>& more, int& quiet) {
  to.insert(to.end(), more.begin(), more.end());
  quiet = more.empty() ? quiet + 1 : 0;
}

}  // namespace

void PortRace::ReadQueued(size_t count) {
  SetTimeouts(port, MAXULONG, 0, 0);  // reads return at once with what is there
  int quiet = 0;
  rig.RunUntil([&] {
    PendingRead each(port, 256);
    each.Finish();
    Collect(read, each.Bytes(), quiet);
    return read.size() >= count || quiet > kQuietMs;
  });
}

const std::vector<uint8_t>& PortRace::FarEndReceived(size_t count) {
  int quiet = 0;
  rig.RunUntil([&] {
    Collect(received, rig.Adapter().PeerTake(), quiet);
    return received.size() >= count || quiet > kQuietMs;
  });
  return received;
}

bool PortRace::WorksBothWays() {
  size_t before = received.size();
  PendingWrite write(port, Text("ok"));
  if (write.Finish().bytes != 2 || FarEndReceived(before + 2).size() != before + 2) return false;
  if (!std::equal(received.end() - 2, received.end(), "ok")) return false;
  if (!SetTimeouts(port, 0, 0, 0)) return false;
  PendingRead answer(port, 2);
  rig.Adapter().PeerSend(std::span((const uint8_t*)"ko", 2));
  return answer.Finish().bytes == 2 && answer.Bytes() == Text("ko");
}

}  // namespace stacktest
