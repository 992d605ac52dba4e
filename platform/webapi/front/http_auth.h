// Who sent a request to the CGI front and from where: the session cookie or HTTP Basic
// credentials, slowed and limited failed sign-ins, and the request's origin.
#ifndef ORVA_FRONT_HTTP_AUTH_H
#define ORVA_FRONT_HTTP_AUTH_H

#include <string>

#include "front_errors.h"

namespace front {

class SessionStore;

inline constexpr const char kSessionCookie[] = "lumidex_session";

struct Identity {
  std::string user;
  bool admin = false;
  bool byCookie = false;  // signed in by the session cookie (not by Basic credentials)
  std::string token;      // the session's token, for cookie sign-ins
  std::string csrf;       // the session's CSRF token, for cookie sign-ins
};

// The value of the first well-formed session cookie in a Cookie header, or "".
std::string SessionCookie(const std::string& cookieHeader);
// Splits "Basic base64(name:password)"; false for any other or malformed value.
bool ParseBasic(const std::string& header, std::string* name, std::string* password);

// The value of a CGI variable, or "".
std::string Env(const char* name);

// Checks a name and password, first waiting longer the more sign-ins failed lately for that
// name or from the client's address (REMOTE_ADDR), and refusing outright beyond the limits of
// sessions.h for the name from that address and for the address. Only settled failures
// refuse: while checks in flight could still reach a limit it waits for them to settle. Returns
// 0 when they are an account's, else kNotSignedIn or kTooManyFailures (with the seconds after which
// to try again in `retryAfter`).
int SignIn(SessionStore* store, const std::string& name, const std::string& password,
           int* retryAfter);

// Who sent the request: HTTP Basic credentials when it has an Authorization header, else the
// session cookie. Returns 0, kNotSignedIn or kTooManyFailures.
int Authenticate(Identity* who, int* retryAfter);

enum class Provenance {
  kUnknown,     // no Origin, Referer or fetch metadata: a script such as curl
  kSameOrigin,  // from a page of this server
  kForeign,     // from another origin
};
// Where the request comes from, by its Origin, else its Referer, compared with its own Host;
// a browser's Sec-Fetch-Site naming another site also counts as foreign.
Provenance RequestProvenance();

// Whether a request that changes something may go on: never from another origin, and with a
// session cookie only with the session's CSRF token in X-CSRF-Token. 0 or kCrossOrigin.
int CheckChangingRequest(const Identity& who);

// The front's access error reply, with Retry-After for kTooManyFailures.
std::string AccessErrorReply(int code, int retryAfter, const std::string& message = "",
                             const std::string& extraHeaders = "");

}  // namespace front

#endif  // ORVA_FRONT_HTTP_AUTH_H
