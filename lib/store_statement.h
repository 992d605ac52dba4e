// Running statements on the daemon's database, the one way the store library does it: a
// statement is fixed text with its values put in by one function, its rows free themselves, and
// a failure is logged with the statement's own name. Writes run as one transaction each.
#ifndef LUMIDEX_STORE_STATEMENT_H
#define LUMIDEX_STORE_STATEMENT_H

#include <cstddef>
#include <initializer_list>
#include <string>

#include "orvadb.h"
#include "store_log.h"

namespace lumidex {

// One value of a statement; it refers to the caller's text, which outlives the statement.
class SqlValue {
 public:
  SqlValue(const std::string& text) : _text(text.c_str()), _size(text.size()) {}  // NOLINT
  SqlValue(const char* text);                                                     // NOLINT
  const char* Text() const { return _text; }
  std::size_t Size() const { return _size; }

 private:
  const char* _text;
  std::size_t _size;
};

// A statement's text made from fixed SQL: each ? takes the next value as a single-quoted literal
// escaped by the database client, each # the next value as a bare number (digits only: a row id
// the database handed out). A value that cannot be put in (a NUL byte, which would cut it short;
// a # value that is not a number; no memory) leaves the statement not runnable, and Execute
// logs and refuses it. `name` names the statement in the log.
class Statement {
 public:
  Statement(const char* name, const std::string& sql, std::initializer_list<SqlValue> values);
  const char* Name() const { return _name; }
  bool Runnable() const { return _runnable; }
  const std::string& Text() const { return _text; }

 private:
  bool Append(char placeholder, const SqlValue& value);

  const char* _name;
  std::string _text;
  bool _runnable = true;
};

// The rows a query returned; the result is freed with this object.
class Rows {
 public:
  Rows() = default;
  ~Rows();
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  // Moves to the next row (the first one on the first call); false when there is none.
  bool Next();
  // The current row's value of `column`; "" for a NULL value or an unknown column.
  const char* Field(const char* column) const;

 private:
  friend int Execute(DBConnect*, const Statement&, Rows*, int);
  DBResult* _result = nullptr;
  int _row = -1;
};

// Runs `statement`, its rows (if any) kept in `rows` when given. -1 when it failed or could not
// be run, logged as "Command[NAME] failed" with the caller's line; else the number of rows it
// returned or affected.
int Execute(DBConnect* connection, const Statement& statement, Rows* rows = nullptr,
            int line = __builtin_LINE());

// Runs `steps` (a callable returning false on failure) between BEGIN and COMMIT, and rolls back
// when a step fails, so that a card is never left without its revision row, nor a home without
// its metadata. True only when the transaction committed.
template <typename Steps>
bool RunInTransaction(DBConnect* connection, Steps&& steps) {
  if (Execute(connection, Statement("BEGIN", "BEGIN", {})) == -1) {
    STORE_LOG("%s:%d Begin transaction failed");
    return false;
  }
  if (!steps()) {
    // A connection that is gone rolls back on the server's side; nothing more to do then.
    Execute(connection, Statement("ROLLBACK", "ROLLBACK", {}));
    return false;
  }
  if (Execute(connection, Statement("COMMIT", "COMMIT", {})) == -1) {
    STORE_LOG("%s:%d Commit transaction failed");
    return false;
  }
  return true;
}

}  // namespace lumidex

#endif  // LUMIDEX_STORE_STATEMENT_H
