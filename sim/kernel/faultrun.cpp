#include "sim/kernel/faultrun.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/kernel/verifier.h"

namespace sim {

namespace {

// A run that neither ends nor hangs in virtual time (the scheduler reports
// those) is stopped after this long.
constexpr unsigned kRunTimeoutSeconds = 300;
constexpr int kScenarioFailed = 3;
constexpr int kScenarioThrew = 4;
constexpr const char* kStopMarker = "*** VERIFIER STOP: ";
constexpr const char* kOutcomeMarker = "*** OUTCOME: ";

struct ChildRun {
  RunOutcome outcome;
  std::vector<const void*> sites;
};

void WriteAll(int fd, const void* data, size_t size) {
  auto bytes = (const char*)data;
  while (size > 0) {
    ssize_t n = write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes += n;
    size -= (size_t)n;
  }
}

// The child: runs the scenario with its stderr going to the parent, then
// hands back the allocation sites the machine saw.
[[noreturn]] void RunChild(const FaultScenario& scenario, MachineOptions options, int errFd, int siteFd) {
  dup2(errFd, STDERR_FILENO);
  close(errFd);
  alarm(kRunTimeoutSeconds);
  auto sites = std::make_shared<std::vector<const void*>>();
  options.faults.siteLog = sites;
  int code = kScenarioFailed;
  try {
    code = scenario(options) ? 0 : kScenarioFailed;
  } catch (...) {
    code = kScenarioThrew;
  }
  WriteAll(siteFd, sites->data(), sites->size() * sizeof(const void*));
  close(siteFd);
  std::fflush(stderr);
  _exit(code);
}

// Reads the child's stderr and site pipes until it closes both.
void Drain(int errFd, int siteFd, std::string& err, std::string& siteBytes) {
  pollfd fds[2] = {{errFd, POLLIN, 0}, {siteFd, POLLIN, 0}};
  std::string* sinks[2] = {&err, &siteBytes};
  char buffer[4096];
  for (int open = 2; open > 0;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, (size_t)n);
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& fd : fds)
    if (fd.fd >= 0) close(fd.fd);
}

std::string LastLine(const std::string& text) {
  size_t end = text.find_last_not_of("\n ");
  if (end == std::string::npos) return {};
  size_t begin = text.rfind('\n', end);
  begin = begin == std::string::npos ? 0 : begin + 1;
  return text.substr(begin, end + 1 - begin);
}

// Why a child did not survive: the verifier's rule and what it saw, or how
// the process ended.
std::string Explain(int status, const std::string& err) {
  if (size_t stop = err.find(kStopMarker); stop != std::string::npos) {
    size_t end = err.find("\n    thread:", stop);
    std::string report = err.substr(stop + 4, end == std::string::npos ? std::string::npos : end - stop - 4);
    for (size_t at; (at = report.find("\n    what:    ")) != std::string::npos;) report.replace(at, 14, ": ");
    return report;
  }
  std::string why;
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    why = signal == SIGALRM ? "no end within " + std::to_string(kRunTimeoutSeconds) + " s"
                            : std::string("killed by signal ") + std::to_string(signal) + " (" + strsignal(signal) + ")";
  } else if (WEXITSTATUS(status) == kScenarioFailed) {
    why = "the scenario reported a failure";
  } else if (WEXITSTATUS(status) == kScenarioThrew) {
    why = "the scenario threw an exception";
  } else {
    why = "exited with code " + std::to_string(WEXITSTATUS(status));
  }
  std::string last = LastLine(err);
  return last.empty() ? why : why + " (last output: " + last + ")";
}

// The note of the last ReportOutcome line in the child's output.
std::string OutcomeNote(const std::string& err) {
  size_t at = err.rfind(kOutcomeMarker);
  if (at == std::string::npos) return {};
  at += std::strlen(kOutcomeMarker);
  return err.substr(at, err.find('\n', at) - at);
}

// `wanted` indexes into `count` items, spread evenly, the first and last included.
std::vector<size_t> SpreadIndexes(size_t count, size_t wanted) {
  std::vector<size_t> indexes;
  if (wanted == 0 || wanted >= count) {
    for (size_t i = 0; i < count; ++i) indexes.push_back(i);
  } else if (wanted == 1) {
    indexes.push_back(0);
  } else {
    for (size_t i = 0; i < wanted; ++i) indexes.push_back(i * (count - 1) / (wanted - 1));
  }
  return indexes;
}

ChildRun RunInChild(const FaultScenario& scenario, const MachineOptions& options) {
  int errPipe[2], sitePipe[2];
  if (pipe(errPipe) != 0 || pipe(sitePipe) != 0)
    VerifierStop(Rule::KernelStop, nullptr, "systematic fault run: pipe failed: %s", std::strerror(errno));
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) VerifierStop(Rule::KernelStop, nullptr, "systematic fault run: fork failed: %s", std::strerror(errno));
  if (pid == 0) {
    close(errPipe[0]);
    close(sitePipe[0]);
    RunChild(scenario, options, errPipe[1], sitePipe[1]);
  }
  close(errPipe[1]);
  close(sitePipe[1]);
  std::string err, siteBytes;
  Drain(errPipe[0], sitePipe[0], err, siteBytes);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ChildRun run;
  run.sites.resize(siteBytes.size() / sizeof(const void*));
  if (!run.sites.empty()) std::memcpy(run.sites.data(), siteBytes.data(), run.sites.size() * sizeof(const void*));
  run.outcome.survived = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  run.outcome.note = OutcomeNote(err);
  if (!run.outcome.survived) run.outcome.failure = Explain(status, err);
  return run;
}

std::string DescribeRun(const RunOutcome& run) {
  std::string text = run.survived ? "survived" : "failed: " + run.failure;
  return run.note.empty() ? text : text + " [" + run.note + "]";
}

}  // namespace

bool FaultRunReport::AllSurvived() const {
  if (!baseline.survived) return false;
  for (const SiteOutcome& site : sites)
    if (!site.run.survived) return false;
  return true;
}

std::string FaultRunReport::Describe() const {
  std::string out = "without faults: " + DescribeRun(baseline) + "\n";
  for (size_t i = 0; i < sites.size(); ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", sites[i].site);
    out += "site " + std::to_string(sites[i].number) + " in " + sites[i].routine + " (" + address + "): " +
           DescribeRun(sites[i].run) + "\n";
  }
  return out;
}

MachineOptions WithoutFaults(const MachineOptions& options) {
  MachineOptions quiet = options;
  quiet.faults = FaultPlan{};
  return quiet;
}

void ArmFaults(Machine& machine, const MachineOptions& options) { machine.Pool().SetFaultPlan(options.faults); }

void ReportOutcome(const std::string& note) {
  std::fprintf(stderr, "%s%s\n", kOutcomeMarker, note.c_str());
  std::fflush(stderr);
}

FaultRunReport RunFailingEachSite(const FaultScenario& scenario, const MachineOptions& options, size_t maxSites) {
  if (CurrentMachineOrNull())
    VerifierStop(Rule::KernelStop, nullptr, "RunFailingEachSite while a machine exists; each run builds its own");
  FaultRunReport report;
  ChildRun baseline = RunInChild(scenario, options);
  report.baseline = baseline.outcome;
  report.sitesFound = baseline.sites.size();
  if (!baseline.outcome.survived) return report;  // the scenario fails by itself: nothing to learn per site
  for (size_t index : SpreadIndexes(baseline.sites.size(), maxSites)) {
    const void* site = baseline.sites[index];
    MachineOptions failing = options;
    failing.faults.failSite = site;
    report.sites.push_back(SiteOutcome{site, index + 1, SymbolName(site), RunInChild(scenario, failing).outcome});
  }
  return report;
}

}  // namespace sim
