// Card writes of an import shared in one transaction: a savepoint per card, one commit (and so
// one wait for the log flush) for the batch, the home's row locked from its first card on so
// that the batch's revision rows follow its order.
#include "db_handler.h"
#include "store_log.h"
#include "store_statement.h"

namespace {

// The batch's fixed statements, each named by its own text in the log.
bool Run(DBConnect* connection, const char* sql, int line = __builtin_LINE()) {
  return lumidex::Execute(connection, lumidex::Statement(sql, sql, {}), nullptr, line) != -1;
}

}  // namespace

bool DBHandler::BeginCardBatch() {
  if (_inBatch) return true;
  if (!Run(_pConnection, "BEGIN")) {
    STORE_LOG("%s:%d Begin transaction failed");
    return false;
  }
  _inBatch = true;
  _batchBroken = false;
  return true;
}

bool DBHandler::EndCardBatch() {
  if (!_inBatch) return false;
  _inBatch = false;
  // An aborted transaction answers COMMIT as if it had committed; it is rolled back instead.
  if (_batchBroken) {
    Run(_pConnection, "ROLLBACK");
    STORE_LOG("%s:%d Card batch rolled back after a failed savepoint");
    return false;
  }
  if (!Run(_pConnection, "COMMIT")) {
    STORE_LOG("%s:%d Commit transaction failed");
    return false;
  }
  return true;
}

bool DBHandler::RunCardWrite(const std::function<bool()>& steps) {
  if (!_inBatch) return lumidex::RunInTransaction(_pConnection, steps);
  if (_batchBroken) return false;
  if (!Run(_pConnection, "SAVEPOINT card")) {
    _batchBroken = true;
    return false;
  }
  if (!steps()) {
    // Only this card's statements are undone; the savepoint goes too, so none pile up.
    if (!Run(_pConnection, "ROLLBACK TO SAVEPOINT card") ||
        !Run(_pConnection, "RELEASE SAVEPOINT card"))
      _batchBroken = true;
    return false;
  }
  if (!Run(_pConnection, "RELEASE SAVEPOINT card")) {
    _batchBroken = true;
    return false;
  }
  return true;
}
