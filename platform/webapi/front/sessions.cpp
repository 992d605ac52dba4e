// Session and failed sign-in records of the CGI front (see sessions.h). Every value reaches
// SQLite as a bound parameter.
#include "sessions.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "accounts.h"
#include "lumidex_paths.h"

namespace front {

namespace {

constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS sessions(token_hash TEXT PRIMARY KEY, user TEXT NOT NULL,"
    " csrf TEXT NOT NULL, expires INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS sessions_user ON sessions(user);"
    "CREATE TABLE IF NOT EXISTS failures(kind TEXT NOT NULL, key TEXT NOT NULL,"
    " at INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS failures_key ON failures(kind, key, at);";

long long Now() { return static_cast<long long>(std::time(nullptr)); }

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (db && sqlite3_prepare_v2(db, sql, -1, &_stmt, nullptr) != SQLITE_OK) {
      std::fprintf(stderr, "sessions: %s\n", sqlite3_errmsg(db));
      _stmt = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(_stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return _stmt != nullptr; }
  Statement& Bind(int index, const std::string& text) {
    if (_stmt)
      sqlite3_bind_text(_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, long long value) {
    if (_stmt) sqlite3_bind_int64(_stmt, index, value);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return _stmt ? sqlite3_step(_stmt) : SQLITE_ERROR; }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(_stmt, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  long long Int(int column) { return sqlite3_column_int64(_stmt, column); }

 private:
  sqlite3_stmt* _stmt = nullptr;
};

}  // namespace

std::string SessionsPath() { return lumidex::RootedPath(kSessionsFile); }

bool WellFormedToken(const std::string& token) {
  if (token.size() != 64) return false;
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string Sha256Hex(const std::string& text) {
  // Nettle rather than OpenSSL: OpenSSL's first digest in a process loads its providers, which
  // costs a CGI that hashes once per request about a millisecond.
  sha256_ctx context;
  uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_init(&context);
  sha256_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  sha256_digest(&context, sizeof digest, digest);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

SessionStore::~SessionStore() { sqlite3_close(_db); }

bool SessionStore::Open(bool create) {
  const std::string path = SessionsPath();
  if (create) {
    // Made here with mode 0600 so that SQLite, which gives its journal files the database's
    // mode, never makes anything readable by others.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &_db, flags, nullptr) != SQLITE_OK) {
    if (create) std::fprintf(stderr, "sessions: cannot open %s\n", path.c_str());
    sqlite3_close(_db);
    _db = nullptr;
    return false;
  }
  // Parallel requests wait for each other's short writes instead of failing.
  sqlite3_busy_timeout(_db, 10000);
  if (create && (!Exec("PRAGMA journal_mode=WAL") || !Exec(kSchema))) {
    sqlite3_close(_db);
    _db = nullptr;
    return false;
  }
  return true;
}

bool SessionStore::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(_db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  std::fprintf(stderr, "sessions: %s\n", error ? error : "error");
  sqlite3_free(error);
  return false;
}

bool SessionStore::Find(const std::string& token, Session* session) {
  if (!_db || !WellFormedToken(token)) return false;
  Statement find(_db, "SELECT user, csrf, expires FROM sessions WHERE token_hash = ?1");
  find.Bind(1, Sha256Hex(token));
  if (find.Step() != SQLITE_ROW) return false;
  session->user = find.Text(0);
  session->csrf = find.Text(1);
  session->expires = find.Int(2);
  return session->expires > Now();
}

bool SessionStore::Create(const std::string& user, std::string* token, std::string* csrf) {
  if (!_db) return false;
  *token = RandomHex(32);
  *csrf = RandomHex(32);
  if (token->empty() || csrf->empty()) return false;
  // Sessions that ended are dropped as new ones begin, so the file does not grow for ever.
  Statement prune(_db, "DELETE FROM sessions WHERE expires <= ?1");
  prune.Bind(1, Now()).Step();
  Statement insert(_db,
                   "INSERT INTO sessions(token_hash, user, csrf, expires) VALUES (?1, ?2, ?3, ?4)");
  insert.Bind(1, Sha256Hex(*token)).Bind(2, user).Bind(3, *csrf).Bind(4, Now() + kSessionSeconds);
  return insert.Step() == SQLITE_DONE;
}

bool SessionStore::Delete(const std::string& token) {
  if (!_db || !WellFormedToken(token)) return false;
  Statement remove(_db, "DELETE FROM sessions WHERE token_hash = ?1");
  return remove.Bind(1, Sha256Hex(token)).Step() == SQLITE_DONE;
}

bool SessionStore::DeleteUser(const std::string& user) {
  if (!_db) return false;
  Statement remove(_db, "DELETE FROM sessions WHERE user = ?1");
  return remove.Bind(1, user).Step() == SQLITE_DONE;
}

int SessionStore::RecentFailures(const char* kind, const std::string& key) {
  if (!_db) return 0;
  Statement count(_db, "SELECT count(*) FROM failures WHERE kind = ?1 AND key = ?2 AND at > ?3");
  count.Bind(1, std::string(kind)).Bind(2, key).Bind(3, Now() - kFailureWindowSeconds);
  return count.Step() == SQLITE_ROW ? static_cast<int>(count.Int(0)) : 0;
}

void SessionStore::RecordFailure(const char* kind, const std::string& key) {
  if (!_db) return;
  Statement prune(_db, "DELETE FROM failures WHERE at <= ?1");
  prune.Bind(1, Now() - kFailureWindowSeconds).Step();
  Statement insert(_db, "INSERT INTO failures(kind, key, at) VALUES (?1, ?2, ?3)");
  insert.Bind(1, std::string(kind)).Bind(2, key).Bind(3, Now()).Step();
}

void SessionStore::ClearFailures(const char* kind, const std::string& key) {
  if (!_db) return;
  Statement remove(_db, "DELETE FROM failures WHERE kind = ?1 AND key = ?2");
  remove.Bind(1, std::string(kind)).Bind(2, key).Step();
}

}  // namespace front
