// liborvadb stand-in: a thin layer over libpq that keeps the appliance client's contract.
#include "orvadb.h"

#include <libpq-fe.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>

struct ORVADBConnection {
  PGconn* pg;
};

struct ORVADBResult {
  PGresult* pg;
  int next;
};

DBConnect* ORVADBConnect(const char* host, const char* user, const char* password, const char* db) {
  // The escaping below doubles quotes only: that is exact for every byte string as long as
  // backslashes are literal and the encoding cannot hide a quote inside a multi-byte character.
  const char* keys[] = {"host", "user", "password", "dbname", "options", "client_encoding",
                        nullptr};
  const char* values[] = {(host && *host) ? host : nullptr,
                          user,
                          (password && *password) ? password : nullptr,
                          db,
                          "-c standard_conforming_strings=on",
                          "UTF8",
                          nullptr};
  // libpq stops at the first null key, so unset entries are skipped by giving them empty values.
  for (int i = 0; keys[i]; ++i) {
    if (!values[i]) values[i] = "";
  }
  PGconn* pg = PQconnectdbParams(keys, values, 0);
  if (!pg || PQstatus(pg) != CONNECTION_OK) {
    syslog(LOG_ERR, "orvadb: connect failed: %s", pg ? PQerrorMessage(pg) : "out of memory");
    if (pg) PQfinish(pg);
    return nullptr;
  }
  auto* conn = new ORVADBConnection{pg};
  return conn;
}

int ORVADBExecute(DBConnect* conn, const char* statement, DBResult** result) {
  if (!conn || !conn->pg || !statement) return -1;
  PGresult* res = PQexec(conn->pg, statement);
  ExecStatusType status = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
  if (status == PGRES_TUPLES_OK) {
    int rows = PQntuples(res);
    if (result) {
      *result = new ORVADBResult{res, 0};
    } else {
      PQclear(res);
    }
    return rows;
  }
  if (status == PGRES_COMMAND_OK) {
    const char* affected = PQcmdTuples(res);
    int count = (affected && *affected) ? std::atoi(affected) : 0;
    PQclear(res);
    return count;
  }
  syslog(LOG_ERR, "orvadb: statement failed: %s", PQerrorMessage(conn->pg));
  if (res) PQclear(res);
  return -1;
}

int ORVADBFetchRow(DBResult* result, int* row) {
  if (!result || !result->pg || result->next >= PQntuples(result->pg)) return -1;
  if (row) *row = result->next;
  ++result->next;
  return 0;
}

const char* ORVADBFetchField(DBResult* result, int row, const char* column) {
  if (!result || !result->pg || !column) return "";
  int col = PQfnumber(result->pg, column);
  if (col < 0 || row < 0 || row >= PQntuples(result->pg)) return "";
  return PQgetvalue(result->pg, row, col);
}

void ORVADBFreeResult(DBResult* result) {
  if (!result) return;
  PQclear(result->pg);
  delete result;
}

void ORVADBClose(DBConnect* conn) {
  if (!conn) return;
  PQfinish(conn->pg);
  delete conn;
}

char* ORVADBEscapeStrAlloc(const char* text) {
  if (!text) text = "";
  size_t length = std::strlen(text);
  size_t quotes = 0;
  for (const char* p = text; *p; ++p) quotes += (*p == '\'');
  char* out = static_cast<char*>(std::malloc(length + quotes + 1));
  if (!out) return nullptr;
  char* w = out;
  for (const char* p = text; *p; ++p) {
    *w++ = *p;
    if (*p == '\'') *w++ = '\'';
  }
  *w = '\0';
  return out;
}
