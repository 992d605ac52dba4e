/* Floors of the HTTP benchmarks, each measured as a C program does the least of the job:
     floor_program rows STATEMENT        connect, run STATEMENT, read every value of every row
     floor_program round-trips N         connect, then N statements "SELECT 1"; prints seconds
     floor_program starts N PROGRAM ...  starts PROGRAM N times, waiting for each; prints seconds
   Connections go to "caldav" on the server PGHOST names. */
#include <libpq-fe.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "starts") == 0 && argc >= 4) {
    int n = atoi(argv[2]);
    double start = now();
    for (int i = 0; i < n; ++i) {
      pid_t pid;
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
      if (posix_spawn(&pid, argv[3], &actions, NULL, argv + 3, environ) != 0) return 1;
      posix_spawn_file_actions_destroy(&actions);
      int status;
      waitpid(pid, &status, 0);
    }
    printf("%.6f\n", now() - start);
    return 0;
  }
  PGconn* connection = PQconnectdb("user=postgres dbname=caldav");
  if (PQstatus(connection) != CONNECTION_OK) return 1;
  int ok = 1;
  if (argc == 3 && strcmp(argv[1], "rows") == 0) {
    PGresult* result = PQexec(connection, argv[2]);
    ok = PQresultStatus(result) == PGRES_TUPLES_OK;
    size_t bytes = 0;
    for (int row = 0; ok && row < PQntuples(result); ++row) {
      for (int column = 0; column < PQnfields(result); ++column)
        bytes += strlen(PQgetvalue(result, row, column));
    }
    printf("%zu\n", bytes);
    PQclear(result);
  } else if (argc == 3 && strcmp(argv[1], "round-trips") == 0) {
    int n = atoi(argv[2]);
    double start = now();
    for (int i = 0; ok && i < n; ++i) {
      PGresult* result = PQexec(connection, "SELECT 1");
      ok = PQresultStatus(result) == PGRES_TUPLES_OK;
      PQclear(result);
    }
    printf("%.6f\n", now() - start);
  } else {
    fprintf(stderr, "usage: floor_program rows SQL | round-trips N | starts N PROGRAM [ARG...]\n");
    ok = 0;
  }
  PQfinish(connection);
  return ok ? 0 : 1;
}
