// Statements of the store library: values put into fixed SQL by one function, rows that free
// themselves, and one call that runs a statement and logs its failure by the statement's name.
#include "store_statement.h"

#include <cstdlib>
#include <cstring>

namespace lumidex {

SqlValue::SqlValue(const char* text) : _text(text), _size(std::strlen(text)) {}

Statement::Statement(const char* name, const std::string& sql,
                     std::initializer_list<SqlValue> values)
    : _name(name) {
  std::size_t total = sql.size();
  for (const SqlValue& value : values) total += value.Size() + 2;
  _text.reserve(total);
  const SqlValue* value = values.begin();
  for (char c : sql) {
    if (c != '?' && c != '#') {
      _text += c;
    } else if (value == values.end()) {
      _runnable = false;  // more places than values: a mistake in the statement, never run
    } else {
      _runnable = Append(c, *value++) && _runnable;
    }
  }
  if (value != values.end()) _runnable = false;
}

bool Statement::Append(char placeholder, const SqlValue& value) {
  // The client's functions take C strings: a NUL byte would silently cut the value, so that it
  // could name another row.
  if (std::strlen(value.Text()) != value.Size()) return false;
  if (placeholder == '#') {
    if (value.Size() == 0) return false;
    for (std::size_t i = 0; i < value.Size(); ++i) {
      if (value.Text()[i] < '0' || value.Text()[i] > '9') return false;
    }
    _text.append(value.Text(), value.Size());
    return true;
  }
  char* escaped = ORVADBEscapeStrAlloc(value.Text());
  if (!escaped) return false;
  _text += '\'';
  _text += escaped;
  _text += '\'';
  std::free(escaped);
  return true;
}

Rows::~Rows() {
  if (_result) ORVADBFreeResult(_result);
}

bool Rows::Next() { return ORVADBFetchRow(_result, &_row) != -1; }

const char* Rows::Field(const char* column) const {
  return ORVADBFetchField(_result, _row, column);
}

int Execute(DBConnect* connection, const Statement& statement, Rows* rows, int line) {
  DBResult* result = nullptr;
  const int count =
      statement.Runnable() ? ORVADBExecute(connection, statement.Text().c_str(), &result) : -1;
  if (rows) {
    if (rows->_result) ORVADBFreeResult(rows->_result);
    rows->_result = result;
    rows->_row = -1;
  } else if (result) {
    ORVADBFreeResult(result);
  }
  if (count == -1) {
    if (statement.Runnable()) {
      syslog(LOG_ERR, "%s:%d Command[%s] failed", STORE_LOG_SOURCE, line, statement.Name());
    } else {
      syslog(LOG_ERR, "%s:%d Command[%s] has a value it cannot hold, not run", STORE_LOG_SOURCE,
             line, statement.Name());
    }
  }
  return count;
}

}  // namespace lumidex
