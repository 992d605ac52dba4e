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

// Failed sign-ins are counted over this window. Refused beyond the limits: a name from one
// client address, and any names from one address. A name's failures from everywhere only slow
// its sign-ins down, so that nobody can lock an account out from an address of their own.
inline constexpr long long kFailureWindowSeconds = 15 * 60;
inline constexpr int kMaxNameFailuresPerAddress = 10;
inline constexpr int kMaxAddressFailures = 30;
// A password check records itself as in flight until it settles: a wrong password makes it a
// failure, a right one takes it back. In-flight checks are never counted as failures; a check
// that does not settle within this time (its process died) counts as one from then on.
inline constexpr long long kInFlightSeconds = 30;
// A name that signed in from an address within this time is not refused there for the failures
// of other names from that address (a shared address, a proxy).
inline constexpr long long kKnownAddressSeconds = 30LL * 24 * 60 * 60;

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

  // A password check about to run, recorded as in flight before the password is checked.
  struct Reservation {
    long long id = 0;         // the recorded check; 0 when refused or on error
    int nameFailures = 0;     // failures of the name from anywhere since its last sign-in
    int addressFailures = 0;  // failures of any name from the address
    bool knownHere = false;   // the name signed in from the address lately
    int retryAfter = 0;       // when refused: seconds until a sign-in can be checked again
  };
  enum class Reserve { kReserved, kRefused, kWait, kError };
  // In one IMMEDIATE transaction: counts the recent failures of `name` ("" for a name that can
  // be no account's) and of `address`, and the checks of them in flight. Refuses when settled
  // failures alone reach a limit (the address limit only when the name has not signed in from
  // there lately); answers kWait, recording nothing, when the checks in flight could still
  // reach it if they all failed; else records one check in flight. So no more checks than a
  // limit allows ever run at once, and no check is refused for others that may yet succeed.
  Reserve ReserveFailure(const std::string& name, const std::string& address,
                         Reservation* reservation);
  // The password was wrong: the check in flight becomes a failure.
  bool RecordFailure(const Reservation& reservation);
  // The password was right: drops the check in flight, forgets the name's failures from
  // `address` and ends the slow-down of the name, and notes that it signed in from `address`.
  // The name's failures still count for the address, and for the name at other addresses.
  bool RecordSignIn(const Reservation& reservation, const std::string& name,
                    const std::string& address);

 private:
  bool Exec(const char* sql);
  bool AddPendingColumn();

  sqlite3* _db = nullptr;
  int _setupFd = -1;  // held while the file is set up, closed after SQLite's
};

// The hex SHA-256 of `text`.
std::string Sha256Hex(const std::string& text);

}  // namespace front

#endif  // ORVA_FRONT_SESSIONS_H
