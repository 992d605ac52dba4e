// Running statements on the daemon's database: one that returns no rows, and one store
// operation's statements as one transaction, all of which take effect or none does. A card is
// never left without its revision row, nor a home without its metadata, when the database fails
// or goes away in the middle of a write.
#ifndef LUMIDEX_STORE_TRANSACTION_H
#define LUMIDEX_STORE_TRANSACTION_H

#include "orvadb.h"
#include "store_log.h"

namespace lumidex {

// Runs a statement whose rows, if any, are not read; false when it failed.
inline bool RunStoreStatement(DBConnect* connection, const char* statement) {
  DBResult* result = nullptr;
  const int rc = ORVADBExecute(connection, statement, &result);
  if (result) ORVADBFreeResult(result);
  return rc != -1;
}

// Runs `steps` (a callable returning false on failure) between BEGIN and COMMIT, and rolls back
// when a step fails. True only when the transaction committed.
template <typename Steps>
bool RunInTransaction(DBConnect* connection, Steps&& steps) {
  if (!RunStoreStatement(connection, "BEGIN")) {
    STORE_LOG("%s:%d Begin transaction failed");
    return false;
  }
  if (!steps()) {
    // A connection that is gone rolls back on the server's side; nothing more to do then.
    RunStoreStatement(connection, "ROLLBACK");
    return false;
  }
  if (!RunStoreStatement(connection, "COMMIT")) {
    STORE_LOG("%s:%d Commit transaction failed");
    return false;
  }
  return true;
}

}  // namespace lumidex

#endif  // LUMIDEX_STORE_TRANSACTION_H
