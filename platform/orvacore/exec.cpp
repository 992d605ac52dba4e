// OLIBCExec: runs a program with a short argument list and waits for it, without a shell, so
// that no argument is ever read as shell syntax.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "orvacore.h"

extern char** environ;

int OLIBCExec(const char* program, const char* a1, const char* a2, const char* a3, const char* a4) {
  if (!program || !*program) return -1;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (const char* arg : {a1, a2, a3, a4}) {
    if (arg) argv.push_back(const_cast<char*>(arg));
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The caller's standard input may be a request body and its standard output the reply of a
  // CGI request: the program may consume neither, and its messages go to standard error.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);

  // A caller that blocks or ignores signals must not hand that on to a daemon it restarts.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program, &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  if (done < 0) return -1;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -2;
  return 0;
}
