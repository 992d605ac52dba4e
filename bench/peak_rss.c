/* Runs a program with its output discarded and writes its peak resident memory (KiB) to a file.
   The measuring parent is this small program, so the figure never includes the memory of the
   benchmark that asked for it (a child's peak starts from its parent's at fork). */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: peak_rss OUTPUT_FILE PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  pid_t pid = fork();
  if (pid == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 1);
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
  FILE* out = fopen(argv[1], "w");
  if (!out) return 2;
  fprintf(out, "%ld\n", usage.ru_maxrss);
  fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
