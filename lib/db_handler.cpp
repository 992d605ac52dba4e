// DBHandler: construction and destruction, the read operations on the daemon's tables, and the
// home id lookups every store operation uses.
#include "db_handler.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <utility>

#include "lumidex_paths.h"
#include "orvacore.h"
#include "orvadb.h"
#include "store_log.h"
#include "store_statement.h"

using lumidex::Execute;
using lumidex::Rows;
using lumidex::Statement;

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
  if (_uuidAhead) OLIBCPclose(_uuidAhead);
  while (!_prepared.empty()) DropOldestPreparedCard();
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

std::string DBHandler::GetNowTimeInfo() {
  time_t now = time(nullptr);
  struct tm broken;
  char buffer[80] = "";
  gmtime_r(&now, &broken);
  strftime(buffer, sizeof buffer, "%Y-%m-%d %X", &broken);
  return buffer;
}

std::string DBHandler::GetResourceID(std::string owner) {
  std::string homeId;
  ReadResourceID(std::move(owner), false, homeId);
  if (homeId.empty()) STORE_LOG("%s:%d Can't find resource ID!!");
  return homeId;
}

bool DBHandler::ReadResourceID(std::string owner, bool lockHome, std::string& homeId) {
  homeId.clear();
  // The row lock makes the writes of one home wait for each other, so that their revision
  // numbers follow the order in which the changes commit.
  const Statement statement =
      lockHome ? Statement("LOCK_HOME_ID",
                           "SELECT resource_id FROM addressbook_home WHERE owner_uid=? FOR UPDATE",
                           {owner})
               : Statement("READ_HOME_ID",
                           "SELECT resource_id FROM addressbook_home WHERE owner_uid=?", {owner});
  Rows rows;
  if (Execute(_pConnection, statement, &rows) == -1) return false;
  if (rows.Next()) homeId = rows.Field("resource_id");
  return true;
}

bool DBHandler::IsUserExist(std::string owner) {
  Rows rows;
  return Execute(_pConnection,
                 Statement("READ_HOME_OWNER", "SELECT * FROM addressbook_home WHERE owner_uid=?",
                           {owner}),
                 &rows) != -1 &&
         rows.Next() && *rows.Field("owner_uid");
}

bool DBHandler::ReadHomeCards(std::string owner, const char* name, const char* columns,
                              Rows& rows) {
  std::string homeId;
  const bool read = ReadResourceID(std::move(owner), false, homeId);
  if (homeId.empty()) {
    STORE_LOG("%s:%d Can't find resource ID!!");
    return read;  // no home: no cards, unless the question itself failed
  }
  // The daemon sees the home id here as a bare number, as it always has.
  return Execute(_pConnection,
                 Statement(name,
                           std::string("SELECT ") + columns +
                               " FROM addressbook_object WHERE addressbook_home_resource_id=#",
                           {homeId}),
                 &rows) != -1;
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
  Rows rows;
  if (!ReadHomeCards(std::move(owner), "LIST_HOME_CARDS",
                     "resource_id, resource_name, vcard_text, md5", rows))
    return false;
  while (rows.Next()) {  // no home: no rows
    resourceNames.append(rows.Field("resource_name"));
    vcardTexts.append(rows.Field("vcard_text"));
    resourceIds.append(rows.Field("resource_id"));
    md5s.append(rows.Field("md5"));
    ++count;
  }
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
  const Statement statement =
      lockRow ? Statement("LOCK_CARD_MD5",
                          "SELECT md5 FROM addressbook_object WHERE "
                          "addressbook_home_resource_id=? and resource_name=? FOR UPDATE",
                          {homeId, resourceName})
              : Statement("READ_CARD",
                          "SELECT vcard_text, md5 FROM addressbook_object WHERE "
                          "addressbook_home_resource_id=? and resource_name=?",
                          {homeId, resourceName});
  Rows rows;
  if (Execute(_pConnection, statement, &rows) == -1) return false;
  found = rows.Next();
  if (found) {
    md5 = rows.Field("md5");
    if (vcardText) *vcardText = rows.Field("vcard_text");
  }
  return true;
}

std::string DBHandler::ExportData(std::string owner, std::string resourceId) {
  // Without a home the statement still runs, with '' for the home, and fails: the daemon's
  // database has always seen it so.
  const std::string homeId = GetResourceID(owner);
  Rows rows;
  if (Execute(_pConnection,
              Statement("EXPORT_CARD",
                        "SELECT vcard_text FROM addressbook_object WHERE resource_id=? "
                        "\t\t\tand addressbook_home_resource_id=?",
                        {resourceId, homeId}),
              &rows) == -1 ||
      !rows.Next()) {
    return "error";
  }
  return std::string(rows.Field("vcard_text")) + "\n";
}

bool DBHandler::ExportAllData(std::string owner, std::string& body) {
  // The total comes with the rows, so that the body is sized once: the download and the
  // database client's copy of it are the only two in memory.
  Rows rows;
  if (!ReadHomeCards(std::move(owner), "EXPORT_HOME_CARDS",
                     "vcard_text, sum(octet_length(vcard_text) + 1) OVER () AS total", rows))
    return false;
  for (bool first = true; rows.Next(); first = false) {
    if (first) body.reserve(body.size() + std::strtoull(rows.Field("total"), nullptr, 10));
    body += rows.Field("vcard_text");
    body += '\n';
  }
  return true;
}
