// OLIBCPopen / OLIBCPclose: a popen that takes an argument list instead of a shell command line.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdarg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "orvacore.h"

extern char** environ;

namespace {

struct Child {
  FILE* stream;
  pid_t pid;
  Child* next;
};

// Streams still open; a process starts only a handful of helpers, so a list is enough.
Child* gChildren = nullptr;

}  // namespace

FILE* OLIBCPopen(const char* path, const char* mode, ...) {
  if (!path || !mode || (mode[0] != 'r' && mode[0] != 'w')) {
    errno = EINVAL;
    return nullptr;
  }
  const bool reading = mode[0] == 'r';
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path));
  va_list ap;
  va_start(ap, mode);
  for (const char* arg = va_arg(ap, const char*); arg; arg = va_arg(ap, const char*)) {
    argv.push_back(const_cast<char*>(arg));
  }
  va_end(ap);
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  const int parentEnd = reading ? fds[0] : fds[1];
  const int childEnd = reading ? fds[1] : fds[0];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, childEnd, reading ? STDOUT_FILENO : STDIN_FILENO);
  // The caller's standard input may be a request body; the program must not consume it.
  if (reading) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(childEnd);
  if (rc != 0) {
    close(parentEnd);
    errno = rc;
    return nullptr;
  }
  FILE* stream = fdopen(parentEnd, reading ? "r" : "w");
  if (!stream) {
    int saved = errno;
    close(parentEnd);
    waitpid(pid, nullptr, 0);
    errno = saved;
    return nullptr;
  }
  gChildren = new Child{stream, pid, gChildren};
  return stream;
}

int OLIBCPclose(FILE* stream) {
  Child** link = &gChildren;
  while (*link && (*link)->stream != stream) link = &(*link)->next;
  if (!*link) {
    errno = EINVAL;
    return -1;
  }
  Child* child = *link;
  *link = child->next;
  fclose(stream);
  int status = 0;
  pid_t done;
  do {
    done = waitpid(child->pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  delete child;
  return done < 0 ? -1 : status;
}
