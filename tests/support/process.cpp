// Child processes for tests (see process.h).
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace testenv {

namespace {

// This process's environment with `changes` applied, as owned strings.
std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (changes.count(name) == 0) merged.push_back(text);
  }
  for (const auto& change : changes) merged.push_back(change.first + "=" + change.second);
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

double Now() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec + now.tv_nsec / 1e9;
}

void Reap(pid_t pid, ProcessResult* result) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result->exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, const std::string& input,
                         int timeoutSeconds) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<std::string> args = argv;
  std::vector<char*> argp = Pointers(args);
  std::vector<std::string> envs = MergedEnvironment(env);
  std::vector<char*> envp = Pointers(envs);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return result;
  }
  result.started = true;

  // A child that stops reading its input must not block us: write only when the pipe is ready.
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int outFd = out[0], errFd = err[0];
  double deadline = Now() + timeoutSeconds;
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    int n = 0;
    if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    int left = static_cast<int>((deadline - Now()) * 1000);
    if (left <= 0 || poll(fds, n, left) == 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inFd) {
        ssize_t w = write(inFd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      if (r > 0) {
        (fds[i].fd == outFd ? result.out : result.err).append(buffer, static_cast<size_t>(r));
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (fds[i].fd == outFd) {
        close(outFd);
        outFd = -1;
      } else {
        close(errFd);
        errFd = -1;
      }
    }
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0) close(fd);
  }
  Reap(pid, &result);
  return result;
}

ChildProcess::~ChildProcess() { Stop(); }

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& logPath) {
  Stop();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<std::string> args = argv;
  std::vector<char*> argp = Pointers(args);
  std::vector<std::string> envs = MergedEnvironment(env);
  std::vector<char*> envp = Pointers(envs);
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  _pid = pid;
  return true;
}

bool ChildProcess::Running() {
  if (_pid < 0) return false;
  int status;
  pid_t done = waitpid(_pid, &status, WNOHANG);
  if (done == 0) return true;
  _pid = -1;
  return false;
}

void ChildProcess::Stop(int graceSeconds) {
  if (!Running()) return;
  kill(_pid, SIGTERM);
  double deadline = Now() + graceSeconds;
  while (Running() && Now() < deadline) usleep(20000);
  if (Running()) {
    kill(_pid, SIGKILL);
    int status;
    waitpid(_pid, &status, 0);
  }
  _pid = -1;
}

}  // namespace testenv
