// Small helpers shared by the benchmarks: wall-clock timing, running a program to completion
// (no shell) and reading the peak memory of finished children.
#ifndef LUMIDEX_BENCH_UTIL_H
#define LUMIDEX_BENCH_UTIL_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

inline double NowSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct RunResult {
  int status = -1;
  long maxRssKiB = 0;  // peak resident memory of the program
};

// Runs `argv` with the current environment, output to /dev/null, and waits for it.
inline RunResult Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  RunResult result;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
    struct rusage usage;
    if (wait4(pid, &result.status, 0, &usage) == pid) result.maxRssKiB = usage.ru_maxrss;
  }
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

// Mean seconds per run of `argv` over `count` runs.
inline double TimePerRun(const std::vector<std::string>& argv, int count) {
  double start = NowSeconds();
  for (int i = 0; i < count; ++i) Run(argv);
  return (NowSeconds() - start) / count;
}

}  // namespace bench

#endif  // LUMIDEX_BENCH_UTIL_H
