// Stand-in for the appliance's database client library (liborvadb), over libpq.
// Statements run one at a time in autocommit; values are escaped with ORVADBEscapeStrAlloc and
// written as single-quoted literals.
#ifndef ORVADB_H
#define ORVADB_H

#ifdef __cplusplus
extern "C" {
#endif

struct ORVADBConnection;
struct ORVADBResult;
typedef struct ORVADBConnection DBConnect;
typedef struct ORVADBResult DBResult;

// Connects to `db` as `user`. A null (or empty) host leaves the server to libpq's defaults
// (PGHOST, PGPORT). The session's client encoding is pinned to UTF8 and
// standard_conforming_strings to on, which is what the escaping relies on. Null on failure.
DBConnect* ORVADBConnect(const char* host, const char* user, const char* password, const char* db);
// Runs one statement. Returns -1 on failure (also for a null connection); otherwise the number of
// rows returned or affected. A query's rows are handed back in *result for the fetch calls.
int ORVADBExecute(DBConnect* conn, const char* statement, DBResult** result);
// Advances to the next row; -1 when there is none, else 0 with the row's index in *row.
int ORVADBFetchRow(DBResult* result, int* row);
// The value of column `column` of row `row` as text, owned by the result; "" for a NULL value or
// an unknown column, never null.
const char* ORVADBFetchField(DBResult* result, int row, const char* column);
void ORVADBFreeResult(DBResult* result);
void ORVADBClose(DBConnect* conn);
// A malloc'ed copy of `text` that may stand between single quotes; the caller frees it.
char* ORVADBEscapeStrAlloc(const char* text);

#ifdef __cplusplus
}
#endif

#endif  // ORVADB_H
