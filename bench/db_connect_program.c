/* The floor of a request that reaches the database: a C program that opens one connection to
   "caldav" (libpq, server from PGHOST) and closes it. */
#include <libpq-fe.h>

int main(void) {
  PGconn* connection = PQconnectdb("user=postgres dbname=caldav");
  int ok = PQstatus(connection) == CONNECTION_OK;
  PQfinish(connection);
  return ok ? 0 : 1;
}
