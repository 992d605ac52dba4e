// DBHandler: construction and destruction, the read operations on the daemon's tables, and the
// statement helpers every store operation uses.
#include "db_handler.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "lumidex_paths.h"
#include "orvadb.h"
#include "store_log.h"
#include "store_transaction.h"

namespace {
constexpr std::size_t kStatementSize = 512;
}

DBHandler::DBHandler()
    : _errCode(0),
      _sqlite_DB_path(lumidex::RootedPath(lumidex::kMappingDbPath)),
      _db(nullptr),
      _pConnection(nullptr) {
  const char* path = _sqlite_DB_path.c_str();
  if (access(path, F_OK) == 0 || CreateTable()) {
    if (access(path, R_OK) != 0) STORE_LOG("%s:%d Check the Read Permission for DB file!!");
    if (access(path, W_OK) != 0) STORE_LOG("%s:%d Check the Write Permission for DB file!!");
  } else {
    STORE_LOG("%s:%d DB is not exist!!");
  }
  _pConnection = ORVADBConnect(nullptr, "postgres", "", "caldav");
  if (!_pConnection) STORE_LOG("%s:%d Can't Connect to SQL DB!!");
}

DBHandler::~DBHandler() {
  if (_pConnection) ORVADBClose(_pConnection);
}

bool DBHandler::CreateTable() {
  _errCode = sqlite3_open(_sqlite_DB_path.c_str(), &_db);
  if (_errCode != SQLITE_OK) {
    STORE_LOG("%s:%d Open sqlite DB failed!![%d]", _errCode);
    sqlite3_close(_db);  // sqlite3_open hands back a handle even when it fails
    _db = nullptr;
    return false;
  }
  sqlite3_busy_timeout(_db, kMappingBusyTimeoutMs);
  char* error = nullptr;
  _errCode =
      sqlite3_exec(_db, "CREATE TABLE mapping(short_name text, GUID text, PRIMARY KEY(GUID))",
                   nullptr, nullptr, &error);
  if (_errCode != SQLITE_OK) {
    STORE_LOG("%s:%d Create table failed[%s]", error ? error : "");
    sqlite3_free(error);
  }
  _errCode = sqlite3_close(_db);
  _db = nullptr;
  if (_errCode != SQLITE_OK) {
    STORE_LOG("%s:%d Close sqlite DB failed!![%d]", _errCode);
    return false;
  }
  STORE_LOG("%s:%d DB ready for Account");
  return true;
}

void DBHandler::EscapeString(std::string& text) {
  char* escaped = ORVADBEscapeStrAlloc(text.c_str());
  // Out of memory: an empty value cannot end the literal; the statement then stores nothing
  // of the caller's text.
  text = escaped ? escaped : "";
  std::free(escaped);
}

std::string DBHandler::GetNowTimeInfo() {
  time_t now = time(nullptr);
  struct tm broken;
  char buffer[80] = "";
  gmtime_r(&now, &broken);
  strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &broken);
  return buffer;
}

bool DBHandler::FormatStatement(char* buffer, std::size_t size, int line, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  int length = std::vsnprintf(buffer, size, format, ap);
  va_end(ap);
  if (length < 0 || static_cast<std::size_t>(length) >= size) {
    syslog(LOG_ERR, "%s:%d Statement too long for its buffer, not run", STORE_LOG_SOURCE, line);
    buffer[0] = '\0';
    return false;
  }
  return true;
}

bool DBHandler::ExecuteCommand(const char* statement) {
  return lumidex::RunStoreStatement(_pConnection, statement);
}

std::string DBHandler::GetResourceID(std::string owner) {
  std::string homeId;
  ReadResourceID(std::move(owner), false, homeId);
  if (homeId.empty()) STORE_LOG("%s:%d Can't find resource ID!!");
  return homeId;
}

bool DBHandler::ReadResourceID(std::string owner, bool lockHome, std::string& homeId) {
  homeId.clear();
  EscapeString(owner);
  char statement[kStatementSize];
  // The row lock makes the writes of one home wait for each other, so that their revision
  // numbers follow the order in which the changes commit.
  if (!FormatStatement(statement, sizeof statement, __LINE__,
                       lockHome ? "SELECT resource_id FROM addressbook_home WHERE owner_uid='%s' "
                                  "FOR UPDATE"
                                : "SELECT resource_id FROM addressbook_home WHERE owner_uid='%s'",
                       owner.c_str())) {
    return false;
  }
  DBResult* result = nullptr;
  const bool read = ORVADBExecute(_pConnection, statement, &result) != -1;
  if (!read) {
    STORE_LOG("%s:%d DB command failed[%s]", owner.c_str());
  } else {
    int row = 0;
    if (ORVADBFetchRow(result, &row) != -1) homeId = ORVADBFetchField(result, row, "resource_id");
  }
  if (result) ORVADBFreeResult(result);
  return read;
}

bool DBHandler::IsUserExist(std::string owner) {
  EscapeString(owner);
  char statement[kStatementSize];
  if (!FormatStatement(statement, sizeof statement, __LINE__,
                       "SELECT * FROM addressbook_home WHERE owner_uid='%s'", owner.c_str())) {
    return false;
  }
  DBResult* result = nullptr;
  bool exists = false;
  if (ORVADBExecute(_pConnection, statement, &result) == -1) {
    STORE_LOG("%s:%d DB command failed");
  } else {
    int row = 0;
    if (ORVADBFetchRow(result, &row) != -1) exists = *ORVADBFetchField(result, row, "owner_uid");
  }
  if (result) ORVADBFreeResult(result);
  return exists;
}

bool DBHandler::ReadHomeCards(std::string owner, const char* columns, DBResult** result) {
  *result = nullptr;
  std::string homeId;
  const bool read = ReadResourceID(std::move(owner), false, homeId);
  if (homeId.empty()) {
    STORE_LOG("%s:%d Can't find resource ID!!");
    return read;  // no home: no cards, unless the question itself failed
  }
  EscapeString(homeId);
  char statement[kStatementSize];
  if (!FormatStatement(statement, sizeof statement, __LINE__,
                       "SELECT %s FROM addressbook_object WHERE addressbook_home_resource_id=%s",
                       columns, homeId.c_str())) {
    return false;
  }
  if (ORVADBExecute(_pConnection, statement, result) == -1) {
    STORE_LOG("%s:%d Conmmand[GET_VCARD_TEXT] failed");
    if (*result) ORVADBFreeResult(*result);
    *result = nullptr;
    return false;
  }
  return true;
}

unsigned int DBHandler::GetCards(Json::Value& resourceNames, Json::Value& vcardTexts,
                                 std::string owner, Json::Value& resourceIds) {
  Json::Value md5s(Json::arrayValue);
  unsigned int count = 0;
  GetCards(resourceNames, vcardTexts, std::move(owner), resourceIds, md5s, count);
  return count;
}

bool DBHandler::GetCards(Json::Value& resourceNames, Json::Value& vcardTexts, std::string owner,
                         Json::Value& resourceIds, Json::Value& md5s, unsigned int& count) {
  count = 0;
  DBResult* result = nullptr;
  if (!ReadHomeCards(std::move(owner), "resource_id, resource_name, vcard_text, md5", &result))
    return false;
  if (!result) return true;  // no home: no cards
  int row = 0;
  while (ORVADBFetchRow(result, &row) != -1) {
    resourceNames.append(ORVADBFetchField(result, row, "resource_name"));
    vcardTexts.append(ORVADBFetchField(result, row, "vcard_text"));
    resourceIds.append(ORVADBFetchField(result, row, "resource_id"));
    md5s.append(ORVADBFetchField(result, row, "md5"));
    ++count;
  }
  if (result) ORVADBFreeResult(result);
  return true;
}

bool DBHandler::GetCard(std::string owner, std::string resourceName, std::string& vcardText,
                        std::string& md5, bool& found) {
  found = true;
  std::string homeId;
  if (!ReadResourceID(std::move(owner), false, homeId)) return false;
  if (homeId.empty()) {
    found = false;
    return false;
  }
  return ReadCardRow(homeId, std::move(resourceName), false, &vcardText, md5, found) && found;
}

bool DBHandler::ReadCardRow(std::string homeId, std::string resourceName, bool lockRow,
                            std::string* vcardText, std::string& md5, bool& found) {
  found = true;
  EscapeString(homeId);
  EscapeString(resourceName);
  char statement[kStatementSize];
  if (!FormatStatement(statement, sizeof statement, __LINE__,
                       lockRow ? "SELECT md5 FROM addressbook_object WHERE "
                                 "addressbook_home_resource_id='%s' and resource_name='%s' FOR "
                                 "UPDATE"
                               : "SELECT vcard_text, md5 FROM addressbook_object WHERE "
                                 "addressbook_home_resource_id='%s' and resource_name='%s'",
                       homeId.c_str(), resourceName.c_str())) {
    return false;
  }
  DBResult* result = nullptr;
  if (ORVADBExecute(_pConnection, statement, &result) == -1) {
    STORE_LOG("%s:%d Conmmand[GET_VCARD_TEXT] failed");
    if (result) ORVADBFreeResult(result);
    return false;
  }
  int row = 0;
  found = ORVADBFetchRow(result, &row) != -1;
  if (found) {
    md5 = ORVADBFetchField(result, row, "md5");
    if (vcardText) *vcardText = ORVADBFetchField(result, row, "vcard_text");
  }
  if (result) ORVADBFreeResult(result);
  return true;
}

std::string DBHandler::ExportData(std::string owner, std::string resourceId) {
  std::string text = "error";
  std::string homeId = GetResourceID(owner);
  EscapeString(resourceId);
  EscapeString(homeId);
  char statement[kStatementSize];
  if (!FormatStatement(statement, sizeof statement, __LINE__,
                       "SELECT vcard_text FROM addressbook_object WHERE resource_id='%s' "
                       "\t\t\tand addressbook_home_resource_id='%s'",
                       resourceId.c_str(), homeId.c_str())) {
    return text;
  }
  DBResult* result = nullptr;
  if (ORVADBExecute(_pConnection, statement, &result) == -1) {
    STORE_LOG("%s:%d Conmmand[GET_VCARD_TEXT] failed");
  } else {
    int row = 0;
    if (ORVADBFetchRow(result, &row) != -1) {
      text = ORVADBFetchField(result, row, "vcard_text");
      text += "\n";
    }
  }
  if (result) ORVADBFreeResult(result);
  return text;
}

bool DBHandler::ExportAllData(std::string owner, std::string& body) {
  // The total comes with the rows, so that the body is sized once: the download and the
  // database client's copy of it are the only two in memory.
  DBResult* result = nullptr;
  if (!ReadHomeCards(std::move(owner),
                     "vcard_text, sum(octet_length(vcard_text) + 1) OVER () AS total", &result))
    return false;
  if (!result) return true;
  int row = 0;
  for (bool first = true; ORVADBFetchRow(result, &row) != -1; first = false) {
    if (first)
      body.reserve(body.size() +
                   std::strtoull(ORVADBFetchField(result, row, "total"), nullptr, 10));
    body += ORVADBFetchField(result, row, "vcard_text");
    body += '\n';
  }
  if (result) ORVADBFreeResult(result);
  return true;
}
