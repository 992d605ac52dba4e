// The account names and the owners of address books, for the pages of "admin" (see
// user_directory.h). The mapping database is only read, never created here.
#include "user_directory.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "accounts.h"
#include "lumidex_paths.h"

namespace front {

namespace {

Json::Value AccountNames() {
  Json::Value names(Json::arrayValue);
  std::vector<std::string> lines;
  if (!ReadAccountLines(AccountsPath(), &lines)) return names;
  for (const std::string& line : lines) {
    std::string name = line.substr(0, line.find(':'));
    if (ValidAccountName(name)) names.append(name);
  }
  return names;
}

// False when the database is there but cannot be read.
bool BookOwners(Json::Value* owners) {
  const std::string path = lumidex::RootedPath(lumidex::kMappingDbPath);
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return errno == ENOENT;
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
  sqlite3_stmt* stmt = nullptr;
  ok = ok &&
       sqlite3_prepare_v2(db,
                          "SELECT DISTINCT short_name FROM mapping WHERE short_name IS NOT NULL"
                          " ORDER BY short_name",
                          -1, &stmt, nullptr) == SQLITE_OK;
  int step = SQLITE_DONE;
  while (ok && (step = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* name = sqlite3_column_text(stmt, 0);
    if (name) owners->append(reinterpret_cast<const char*>(name));
  }
  ok = ok && step == SQLITE_DONE;
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return ok;
}

}  // namespace

void AddUserDirectory(Json::Value* reply) {
  (*reply)["accounts"] = AccountNames();
  Json::Value owners(Json::arrayValue);
  if (BookOwners(&owners)) (*reply)["books"] = owners;
}

}  // namespace front
