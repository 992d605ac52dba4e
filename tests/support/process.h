// Running a program as a real child process (never through a shell) with chosen environment
// variables and standard input, and collecting its output, for tests of programs and CGI fronts.
#ifndef LUMIDEX_TESTS_PROCESS_H
#define LUMIDEX_TESTS_PROCESS_H

#include <map>
#include <string>
#include <vector>

namespace testenv {

struct ProcessResult {
  bool started = false;
  int exitCode = -1;  // -1 when the process did not exit normally
  int signal = 0;     // the signal that ended it, if any
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments argv[1...]. The child's environment is this process's
// environment with `env` added or replaced; `input` is written to its standard input, which is
// then closed. A child still running after `timeoutSeconds` is killed.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env = {},
                         const std::string& input = "", int timeoutSeconds = 120);

// A started child process with its standard output and error going to files; Stop() ends it.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv (no shell) with `env` added to this process's environment; output goes to
  // `logPath`. Returns false when it cannot be started.
  bool Start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& logPath);
  // Whether the child is still running (reaps it when it has ended).
  bool Running();
  // Sends SIGTERM, waits up to `graceSeconds`, then SIGKILL; reaps the child.
  void Stop(int graceSeconds = 10);
  int Pid() const { return _pid; }

 private:
  int _pid = -1;
};

}  // namespace testenv

#endif  // LUMIDEX_TESTS_PROCESS_H
