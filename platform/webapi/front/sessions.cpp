// Session and failed sign-in records of the CGI front (see sessions.h). Every value reaches
// SQLite as a bound parameter.
#include "sessions.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
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
    // One row per failed sign-in, or per check in flight (`pending`): `name` is "" for a name
    // that can be no account's, or after that name signed in from the same address; `slows`
    // ends when the name signs in anywhere.
    "CREATE TABLE IF NOT EXISTS sign_in_failures(name TEXT NOT NULL, address TEXT NOT NULL,"
    " at INTEGER NOT NULL, slows INTEGER NOT NULL DEFAULT 1, pending INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS sign_in_failures_name ON sign_in_failures(name, address, at);"
    "CREATE INDEX IF NOT EXISTS sign_in_failures_address ON sign_in_failures(address, at);"
    "CREATE TABLE IF NOT EXISTS sign_ins(name TEXT NOT NULL, address TEXT NOT NULL,"
    " at INTEGER NOT NULL, PRIMARY KEY(name, address));"
    // The counts of earlier versions, one row per name and per address.
    "DROP TABLE IF EXISTS failures;";

// Files of earlier versions have no `pending` column; their rows are all settled failures.
constexpr const char kAddPending[] =
    "ALTER TABLE sign_in_failures ADD COLUMN pending INTEGER NOT NULL DEFAULT 0";

// Appended to a query over sign_in_failures, with ?9 bound to Now() - kInFlightSeconds: only
// settled failures, and checks in flight so long that they count as failures.
#define SETTLED " AND (pending = 0 OR at <= ?9)"

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
  // Done with the current row, so that the statement holds up no COMMIT.
  void Reset() { sqlite3_reset(_stmt); }
  // The first column of the first row as a number (0 when there is none); the statement is
  // done with then, so it holds up no COMMIT.
  long long Count() {
    long long value = Step() == SQLITE_ROW ? Int(0) : 0;
    sqlite3_reset(_stmt);
    return value;
  }

 private:
  sqlite3_stmt* _stmt = nullptr;
};

// Seconds until the failure `oldest` selects leaves the window; at least 1.
int SecondsUntilGone(Statement& oldest) {
  const long long at = oldest.Step() == SQLITE_ROW ? oldest.Int(0) : Now();
  return static_cast<int>(std::max(1LL, at + kFailureWindowSeconds - Now()));
}

// BEGIN IMMEDIATE ... COMMIT, rolled back unless committed: the write lock is taken before the
// first count, so no other sign-in counts between this one's count and its record.
class WriteTransaction {
 public:
  explicit WriteTransaction(sqlite3* db) : _db(db) {
    _open = db && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (db && !_open) std::fprintf(stderr, "sessions: %s\n", sqlite3_errmsg(db));
  }
  ~WriteTransaction() {
    if (_open) sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  bool Open() const { return _open; }
  bool Commit() {
    if (!_open || sqlite3_exec(_db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    _open = false;
    return true;
  }

 private:
  sqlite3* _db;
  bool _open = false;
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

SessionStore::~SessionStore() {
  sqlite3_close(_db);
  // Closed only after SQLite's own descriptor: closing any descriptor of the file drops the
  // process's POSIX locks on it, SQLite's among them.
  if (_setupFd >= 0) ::close(_setupFd);
}

bool SessionStore::Open(bool create) {
  const std::string path = SessionsPath();
  if (create) {
    // Made here with mode 0600 so that SQLite, which gives its journal files the database's
    // mode, never makes anything readable by others.
    _setupFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // Setting up runs one process at a time: two switching a new file to WAL together would
    // each read it and then ask to write, and SQLite refuses one of them at once rather than
    // wait, which turned a parallel sign-in away.
    if (_setupFd < 0 || ::flock(_setupFd, LOCK_EX) != 0) {
      std::fprintf(stderr, "sessions: cannot open %s\n", path.c_str());
      return false;
    }
  }
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  bool ready = sqlite3_open_v2(path.c_str(), &_db, flags, nullptr) == SQLITE_OK;
  if (ready) {
    // Parallel requests wait for each other's short writes instead of failing.
    sqlite3_busy_timeout(_db, 10000);
    ready = !create || (Exec("PRAGMA journal_mode=WAL") && Exec(kSchema) && AddPendingColumn());
  } else if (create) {
    std::fprintf(stderr, "sessions: cannot open %s\n", path.c_str());
  }
  if (create) ::flock(_setupFd, LOCK_UN);
  if (!ready) {
    sqlite3_close(_db);
    _db = nullptr;
  }
  return ready;
}

bool SessionStore::AddPendingColumn() {
  sqlite3_stmt* probe = nullptr;
  const bool present = sqlite3_prepare_v2(_db, "SELECT pending FROM sign_in_failures LIMIT 0", -1,
                                          &probe, nullptr) == SQLITE_OK;
  sqlite3_finalize(probe);
  return present || Exec(kAddPending);
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

SessionStore::Reserve SessionStore::ReserveFailure(const std::string& name,
                                                   const std::string& address,
                                                   Reservation* reservation) {
  *reservation = Reservation();
  WriteTransaction transaction(_db);
  if (!transaction.Open()) return Reserve::kError;
  const long long now = Now();
  const long long since = now - kFailureWindowSeconds;
  const long long stale = now - kInFlightSeconds;
  Statement prune(_db, "DELETE FROM sign_in_failures WHERE at <= ?1");
  if (prune.Bind(1, since).Step() != SQLITE_DONE) return Reserve::kError;

  // Each count gives all recent rows and the settled ones among them; the rest are in flight.
  auto tally = [&](Statement& count, int* settled, int* inFlight) {
    count.Bind(9, stale);
    if (count.Step() == SQLITE_ROW) {
      *settled = static_cast<int>(count.Int(1));
      *inFlight = static_cast<int>(count.Int(0)) - *settled;
    }
    count.Reset();
  };
  int pairFailures = 0, pairInFlight = 0;
  if (!name.empty()) {
    Statement pair(_db,
                   "SELECT count(*), count(CASE WHEN pending = 0 OR at <= ?9 THEN 1 END)"
                   " FROM sign_in_failures WHERE name = ?1 AND address = ?2 AND at > ?3");
    pair.Bind(1, name).Bind(2, address).Bind(3, since);
    tally(pair, &pairFailures, &pairInFlight);
    Statement slowing(_db,
                      "SELECT count(*) FROM sign_in_failures WHERE name = ?1 AND slows = 1"
                      " AND at > ?2" SETTLED);
    reservation->nameFailures =
        static_cast<int>(slowing.Bind(1, name).Bind(2, since).Bind(9, stale).Count());
    Statement known(_db,
                    "SELECT count(*) FROM sign_ins WHERE name = ?1 AND address = ?2 AND at > ?3");
    reservation->knownHere =
        known.Bind(1, name).Bind(2, address).Bind(3, now - kKnownAddressSeconds).Count() > 0;
  }
  int addressInFlight = 0;
  Statement fromAddress(_db,
                        "SELECT count(*), count(CASE WHEN pending = 0 OR at <= ?9 THEN 1 END)"
                        " FROM sign_in_failures WHERE address = ?1 AND at > ?2");
  fromAddress.Bind(1, address).Bind(2, since);
  tally(fromAddress, &reservation->addressFailures, &addressInFlight);
  const bool addressLimited = !reservation->knownHere;

  // Refused, on settled failures alone, until enough of them leave the window: the oldest of
  // those over the limit.
  int retryAfter = 0;
  if (pairFailures >= kMaxNameFailuresPerAddress) {
    Statement oldest(_db,
                     "SELECT at FROM sign_in_failures WHERE name = ?1 AND address = ?2"
                     " AND at > ?3" SETTLED " ORDER BY at LIMIT 1 OFFSET ?4");
    oldest.Bind(1, name).Bind(2, address).Bind(3, since).Bind(9, stale);
    oldest.Bind(4, static_cast<long long>(pairFailures - kMaxNameFailuresPerAddress));
    retryAfter = SecondsUntilGone(oldest);
  }
  if (addressLimited && reservation->addressFailures >= kMaxAddressFailures) {
    Statement oldest(_db, "SELECT at FROM sign_in_failures WHERE address = ?1 AND at > ?2" SETTLED
                          " ORDER BY at LIMIT 1 OFFSET ?3");
    oldest.Bind(1, address).Bind(2, since).Bind(9, stale);
    oldest.Bind(3, static_cast<long long>(reservation->addressFailures - kMaxAddressFailures));
    retryAfter = std::max(retryAfter, SecondsUntilGone(oldest));
  }
  if (retryAfter > 0) {
    reservation->retryAfter = retryAfter;
    return transaction.Commit() ? Reserve::kRefused : Reserve::kError;
  }
  // The checks in flight could still fill a limit: this one waits for them to settle rather
  // than run beside them (and is refused then only if they turned out wrong).
  if (pairFailures + pairInFlight >= kMaxNameFailuresPerAddress ||
      (addressLimited && reservation->addressFailures + addressInFlight >= kMaxAddressFailures)) {
    return Reserve::kWait;  // nothing to keep: rolled back
  }

  Statement insert(
      _db, "INSERT INTO sign_in_failures(name, address, at, pending) VALUES (?1, ?2, ?3, 1)");
  if (insert.Bind(1, name).Bind(2, address).Bind(3, now).Step() != SQLITE_DONE) {
    return Reserve::kError;
  }
  const long long id = sqlite3_last_insert_rowid(_db);
  if (!transaction.Commit()) return Reserve::kError;
  reservation->id = id;
  return Reserve::kReserved;
}

bool SessionStore::RecordFailure(const Reservation& reservation) {
  if (!_db) return false;
  Statement settle(_db, "UPDATE sign_in_failures SET pending = 0 WHERE rowid = ?1");
  return settle.Bind(1, reservation.id).Step() == SQLITE_DONE;
}

bool SessionStore::RecordSignIn(const Reservation& reservation, const std::string& name,
                                const std::string& address) {
  WriteTransaction transaction(_db);
  if (!transaction.Open()) return false;
  Statement release(_db, "DELETE FROM sign_in_failures WHERE rowid = ?1");
  // Checks of the name still in flight are not forgotten: they settle on their own.
  Statement here(_db,
                 "UPDATE sign_in_failures SET name = '' WHERE name = ?1 AND address = ?2" SETTLED);
  Statement elsewhere(_db, "UPDATE sign_in_failures SET slows = 0 WHERE name = ?1" SETTLED);
  Statement prune(_db, "DELETE FROM sign_ins WHERE at <= ?1");
  Statement note(_db, "INSERT OR REPLACE INTO sign_ins(name, address, at) VALUES (?1, ?2, ?3)");
  const long long stale = Now() - kInFlightSeconds;
  bool done = release.Bind(1, reservation.id).Step() == SQLITE_DONE &&
              here.Bind(1, name).Bind(2, address).Bind(9, stale).Step() == SQLITE_DONE &&
              elsewhere.Bind(1, name).Bind(9, stale).Step() == SQLITE_DONE &&
              prune.Bind(1, Now() - kKnownAddressSeconds).Step() == SQLITE_DONE &&
              note.Bind(1, name).Bind(2, address).Bind(3, Now()).Step() == SQLITE_DONE;
  return done && transaction.Commit();
}

}  // namespace front
