// Sign-in sessions and failed sign-ins of the CGI front, kept in an SQLite file of the package.
// A session's token is only ever stored as its SHA-256, so the file alone lets nobody in.
#ifndef ORVA_FRONT_SESSIONS_H
#define ORVA_FRONT_SESSIONS_H

#include <string>

struct sqlite3;

namespace front {

inline constexpr const char kSessionsFile[] =
    "/var/packages/Lumidex/target/var/db/lumidex_sessions.db";
// How long a session lasts from its sign-in; also the cookie's Max-Age.
inline constexpr long long kSessionSeconds = 8 * 60 * 60;

// Failed sign-ins are counted over this window, per user name and per client address.
inline constexpr long long kFailureWindowSeconds = 15 * 60;
inline constexpr int kMaxNameFailures = 10;
inline constexpr int kMaxAddressFailures = 30;

// The sessions file under LUMIDEX_ROOT.
std::string SessionsPath();

// 64 lower-case hex digits: the form of every token this front hands out.
bool WellFormedToken(const std::string& token);

class SessionStore {
 public:
  struct Session {
    std::string user;
    std::string csrf;
    long long expires = 0;
  };

  SessionStore() = default;
  ~SessionStore();
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  // Opens the file, creating it (mode 0600) and its tables when `create`. Without `create`
  // a missing file gives false: there is no session then.
  bool Open(bool create);

  // The unexpired session of `token`; false when there is none.
  bool Find(const std::string& token, Session* session);
  // A new session for `user`; its token and CSRF token come back in the arguments.
  bool Create(const std::string& user, std::string* token, std::string* csrf);
  bool Delete(const std::string& token);
  bool DeleteUser(const std::string& user);

  // Failed sign-ins within the window for a kind ("name" or "address") and key.
  int RecentFailures(const char* kind, const std::string& key);
  void RecordFailure(const char* kind, const std::string& key);
  void ClearFailures(const char* kind, const std::string& key);

 private:
  bool Exec(const char* sql);

  sqlite3* _db = nullptr;
};

// The hex SHA-256 of `text`.
std::string Sha256Hex(const std::string& text);

}  // namespace front

#endif  // ORVA_FRONT_SESSIONS_H
