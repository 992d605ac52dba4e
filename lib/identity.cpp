// Identity helpers of DBHandler: short name -> GUID through the mapping database, and the GUID,
// MD5 and UUID answers of the package's helper program.
#include <errno.h>
#include <sqlite3.h>

#include <cstring>
#include <utility>
#include <vector>

#include "db_handler.h"
#include "lumidex_paths.h"
#include "orvacore.h"
#include "store_log.h"

namespace {
constexpr std::size_t kGuidWidth = 36;
constexpr std::size_t kMd5Width = 32;

// A prepared statement of the mapping database that finalizes itself.
class MappingStatement {
 public:
  MappingStatement(sqlite3* db, const char* sql)
      : _prepared(sqlite3_prepare_v2(db, sql, -1, &_statement, nullptr)) {}
  ~MappingStatement() { sqlite3_finalize(_statement); }
  MappingStatement(const MappingStatement&) = delete;
  MappingStatement& operator=(const MappingStatement&) = delete;

  // SQLITE_OK, or why the statement could not be prepared.
  int Prepared() const { return _prepared; }
  sqlite3_stmt* Get() const { return _statement; }

 private:
  sqlite3_stmt* _statement = nullptr;
  int _prepared;
};

// Hands each GUID that maps `shortName` in the open mapping database to `onRow` (in the form of
// an sqlite3_exec callback) with `target`. SQLITE_OK, or the error that stopped the read.
int ReadMappedGuids(sqlite3* db, const std::string& shortName,
                    int (*onRow)(void*, int, char**, char**), void* target) {
  // The name is bound, never spliced into the statement: any name is matched literally.
  MappingStatement statement(db, "SELECT GUID FROM mapping where short_name=?1");
  if (statement.Prepared() != SQLITE_OK) return statement.Prepared();
  sqlite3_bind_text(statement.Get(), 1, shortName.data(), static_cast<int>(shortName.size()),
                    SQLITE_TRANSIENT);
  int code;
  while ((code = sqlite3_step(statement.Get())) == SQLITE_ROW) {
    char* value = reinterpret_cast<char*>(
        const_cast<unsigned char*>(sqlite3_column_text(statement.Get(), 0)));
    char* names[] = {const_cast<char*>("GUID")};
    onRow(target, 1, &value, names);
  }
  return code == SQLITE_DONE ? SQLITE_OK : code;
}
}  // namespace

int DBHandler::GetGUIDCallback(void* target, int columnCount, char** values, char**) {
  // SQLite lets a text primary key hold NULL: such a row gives no GUID rather than a crash.
  if (columnCount == 1) *static_cast<std::string*>(target) = values[0] ? values[0] : "";
  return 0;
}

std::string DBHandler::GetGUID(std::string shortName) {
  std::string guid;
  LookupGUID(std::move(shortName), guid);
  return guid;
}

bool DBHandler::LookupGUID(std::string shortName, std::string& guid) {
  guid.clear();
  _errCode = sqlite3_open(_sqlite_DB_path.c_str(), &_db);
  if (_errCode != SQLITE_OK) {
    STORE_LOG("%s:%d Open sqlite DB failed!![%d]", _errCode);
    sqlite3_close(_db);
    _db = nullptr;
    return false;
  }
  // The helper holds the write lock while it records a new user; without a wait this read
  // fails then, and a known user would be taken as unknown.
  sqlite3_busy_timeout(_db, kMappingBusyTimeoutMs);
  _errCode = ReadMappedGuids(_db, shortName, GetGUIDCallback, &guid);  // the last row counts
  bool read = _errCode == SQLITE_OK;
  if (!read) {
    STORE_LOG("%s:%d Get Data failed[%s]", sqlite3_errmsg(_db));
    guid.clear();  // rows before the failure are not an answer
    // A readable database whose table was never made maps nobody: the user is unknown, and
    // provisioning (the helper makes the table) can still go ahead.
    read = !HasMappingTable();
  }
  _errCode = sqlite3_close(_db);
  _db = nullptr;
  if (_errCode != SQLITE_OK) STORE_LOG("%s:%d Close sqlite DB failed!![%d]", _errCode);
  return read;
}

bool DBHandler::HasMappingTable() {
  MappingStatement statement(
      _db, "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='mapping'");
  // When even this cannot be asked, the database is not readable.
  if (statement.Prepared() != SQLITE_OK || sqlite3_step(statement.Get()) != SQLITE_ROW) return true;
  return sqlite3_column_int(statement.Get(), 0) != 0;
}

FILE* DBHandler::StartHelper(const char* option, const char* argument, const char* logged) {
  const std::string helper = lumidex::RootedPath(lumidex::kHelperPath);
  FILE* stream = OLIBCPopen(helper.c_str(), "r", option, argument, static_cast<char*>(nullptr));
  if (stream) return stream;
  if (logged) {
    STORE_LOG("%s:%d Failed to popen(%s %s %s), reason=%s", helper.c_str(), option, logged,
              strerror(errno));
  } else {
    STORE_LOG("%s:%d Failed to popen(%s %s), reason=%s", helper.c_str(), option, strerror(errno));
  }
  return nullptr;
}

std::string DBHandler::FinishHelper(FILE* stream, std::size_t width, const char* option,
                                    const char* logged) {
  if (!stream) return "";
  std::vector<char> buffer(width + 1, '\0');
  if (!fgets(buffer.data(), static_cast<int>(buffer.size()), stream)) {
    const std::string helper = lumidex::RootedPath(lumidex::kHelperPath);
    if (logged) {
      STORE_LOG("%s:%d Failed to fgets from popen(%s %s %s), reason=%s", helper.c_str(), option,
                logged, strerror(errno));
    } else {
      STORE_LOG("%s:%d Failed to fgets from popen(%s %s), reason=%s", helper.c_str(), option,
                strerror(errno));
    }
  }
  OLIBCPclose(stream);
  return std::string(buffer.data());
}

std::string DBHandler::ReadHelperLine(std::size_t width, const char* option, const char* argument,
                                      const char* logged) {
  return FinishHelper(StartHelper(option, argument, logged), width, option, logged);
}

std::string DBHandler::SetGUID(std::string shortName) {
  return ReadHelperLine(kGuidWidth, "--checkGUID", shortName.c_str(), shortName.c_str());
}

std::string DBHandler::GetUUID() {
  return ReadHelperLine(kGuidWidth, "--getUUID", nullptr, nullptr);
}

std::string DBHandler::GetUUIDAhead() {
  if (!_uuidAhead) _uuidAhead = StartHelper("--getUUID", nullptr, nullptr);
  const std::string uuid = FinishHelper(_uuidAhead, kGuidWidth, "--getUUID", nullptr);
  _uuidAhead = StartHelper("--getUUID", nullptr, nullptr);
  return uuid;
}

std::string DBHandler::GetMD5(std::string text) {
  return ReadHelperLine(kMd5Width, "--getMD5", text.c_str(), nullptr);
}

void DBHandler::PrepareCard(const std::string& text) {
  // Both helpers run at once, and beside whatever the caller does until it adds the card.
  _prepared.push_back({text, StartHelper("--getMD5", text.c_str(), nullptr),
                       StartHelper("--getUUID", nullptr, nullptr)});
}

void DBHandler::GetMD5AndUUID(const std::string& text, std::string& md5, std::string& uuid) {
  // A card prepared but never added (the store refused it first) is dropped on the way.
  while (!_prepared.empty() && _prepared.front().text != text) DropOldestPreparedCard();
  if (_prepared.empty()) PrepareCard(text);
  const PreparedCard card = std::move(_prepared.front());
  _prepared.pop_front();
  md5 = FinishHelper(card.md5, kMd5Width, "--getMD5", nullptr);
  uuid = FinishHelper(card.uuid, kGuidWidth, "--getUUID", nullptr);
}

void DBHandler::DropOldestPreparedCard() {
  const PreparedCard& card = _prepared.front();
  if (card.md5) OLIBCPclose(card.md5);
  if (card.uuid) OLIBCPclose(card.uuid);
  _prepared.pop_front();
}
