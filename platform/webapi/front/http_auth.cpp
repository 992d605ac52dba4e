// Request authentication and origin checks of the CGI front (see http_auth.h).
#include "http_auth.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "accounts.h"
#include "reply_output.h"
#include "sessions.h"

namespace front {

namespace {

constexpr size_t kMaxAuthorizationBytes = 4096;
constexpr size_t kMaxCookies = 64;
constexpr long long kFirstDelayMs = 250;
constexpr long long kMaxDelayMs = 4000;
// How often a sign-in that waits for checks in flight looks again.
constexpr long long kWaitStepMs = 50;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Standard base64 with padding, strictly: anything else gives false.
bool DecodeBase64(const std::string& text, std::string* bytes) {
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t padding = 0;
  if (text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  bytes->clear();
  unsigned int bits = 0;
  int count = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    int digit = Base64Digit(text[i]);
    if (digit < 0) return false;
    bits = (bits << 6) | static_cast<unsigned int>(digit);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes->push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return true;
}

void SleepMs(long long ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  while (nanosleep(&left, &left) != 0) {
  }
}

// scheme://host[:port], lower case, without the scheme's default port.
std::string NormalOrigin(const std::string& origin) {
  std::string normal = Lower(origin);
  if (normal.compare(0, 7, "http://") == 0 && normal.size() > 10 &&
      normal.compare(normal.size() - 3, 3, ":80") == 0) {
    normal.resize(normal.size() - 3);
  } else if (normal.compare(0, 8, "https://") == 0 && normal.size() > 12 &&
             normal.compare(normal.size() - 4, 4, ":443") == 0) {
    normal.resize(normal.size() - 4);
  }
  return normal;
}

// The origin part of a Referer URL, or "" when it has none.
std::string RefererOrigin(const std::string& referer) {
  size_t schemeEnd = referer.find("://");
  if (schemeEnd == std::string::npos) return "";
  size_t end = referer.find_first_of("/?#", schemeEnd + 3);
  std::string origin = referer.substr(0, end);
  // A user part has no place in a Referer; such a value is not trusted to name this server.
  if (origin.find('@') != std::string::npos) return "";
  return origin;
}

// This server's own origin as the client addressed it, or "" without a Host header.
std::string OwnOrigin() {
  std::string host = Env("HTTP_HOST");
  if (host.empty()) return "";
  bool https = Lower(Env("HTTPS")) == "on" || Lower(Env("REQUEST_SCHEME")) == "https";
  return NormalOrigin((https ? "https://" : "http://") + host);
}

}  // namespace

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::string SessionCookie(const std::string& cookieHeader) {
  size_t at = 0;
  for (size_t n = 0; n < kMaxCookies && at <= cookieHeader.size(); ++n) {
    size_t end = cookieHeader.find(';', at);
    std::string pair = Trim(cookieHeader.substr(at, end == std::string::npos ? end : end - at));
    size_t equals = pair.find('=');
    if (equals != std::string::npos && Trim(pair.substr(0, equals)) == kSessionCookie) {
      std::string value = Trim(pair.substr(equals + 1));
      if (WellFormedToken(value)) return value;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return "";
}

bool ParseBasic(const std::string& header, std::string* name, std::string* password) {
  if (header.size() > kMaxAuthorizationBytes) return false;
  std::string value = Trim(header);
  size_t space = value.find(' ');
  if (space == std::string::npos || Lower(value.substr(0, space)) != "basic") return false;
  std::string decoded;
  if (!DecodeBase64(Trim(value.substr(space + 1)), &decoded)) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *name = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

int SignIn(SessionStore* store, const std::string& name, const std::string& password,
           int* retryAfter) {
  const std::string address = Env("REMOTE_ADDR");
  // A name that can be no account's is not kept: the address alone counts its failures.
  const std::string kept = ValidAccountName(name) ? name : "";
  // The check is recorded as in flight before the password is known, and refused only on
  // failures that have settled; while checks in flight could still reach a limit, this one
  // waits for them. However many guesses arrive at once, no more than the limit are checked,
  // and checks of the right password that run at the same time never refuse each other.
  SessionStore::Reservation reservation;
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(kInFlightSeconds + 5);
  for (bool reserved = false; !reserved;) {
    switch (store->ReserveFailure(kept, address, &reservation)) {
      case SessionStore::Reserve::kReserved:
        reserved = true;
        break;
      case SessionStore::Reserve::kRefused:
        *retryAfter = reservation.retryAfter;
        return kTooManyFailures;
      case SessionStore::Reserve::kWait:
        // Checks in flight settle or turn stale within kInFlightSeconds; past that something
        // is wrong with the clock or the file.
        if (std::chrono::steady_clock::now() > giveUp) {
          *retryAfter = static_cast<int>(kInFlightSeconds);
          return kTooManyFailures;
        }
        SleepMs(kWaitStepMs);
        break;
      case SessionStore::Reserve::kError:
        std::fprintf(stderr, "sign-in: cannot count failed sign-ins; %s refused\n",
                     kept.empty() ? "a sign-in" : kept.c_str());
        return kNotSignedIn;
    }
  }
  // The wait comes before the check, so a client cannot learn the answer sooner by giving up.
  // Other names' failures from an address do not slow a name that signed in from there lately.
  int failures =
      std::max(reservation.nameFailures, reservation.knownHere ? 0 : reservation.addressFailures);
  if (failures > 0) {
    long long delay = kFirstDelayMs << std::min(failures - 1, 8);
    SleepMs(std::min(delay, kMaxDelayMs));
  }
  if (!CheckPassword(name, password)) {
    // Left in flight, the check would count as a failure only once stale, holding others up.
    if (!store->RecordFailure(reservation)) {
      std::fprintf(stderr, "sign-in: cannot record a failed sign-in of %s\n",
                   kept.empty() ? "a name" : kept.c_str());
    }
    return kNotSignedIn;
  }
  if (!store->RecordSignIn(reservation, kept, address)) {
    std::fprintf(stderr, "sign-in: cannot record the sign-in of %s\n", kept.c_str());
  }
  return 0;
}

int Authenticate(Identity* who, int* retryAfter) {
  *who = Identity();
  const std::string authorization = Env("HTTP_AUTHORIZATION");
  if (!authorization.empty()) {
    std::string name, password;
    if (!ParseBasic(authorization, &name, &password)) return kNotSignedIn;
    SessionStore store;
    if (!store.Open(true)) return kNotSignedIn;
    int code = SignIn(&store, name, password, retryAfter);
    if (code != 0) return code;
    who->user = name;
  } else {
    std::string token = SessionCookie(Env("HTTP_COOKIE"));
    if (token.empty()) return kNotSignedIn;
    SessionStore store;
    SessionStore::Session session;
    if (!store.Open(false) || !store.Find(token, &session)) return kNotSignedIn;
    // A deleted account's sessions end with it, even if the sessions file kept them.
    if (!AccountExists(session.user)) return kNotSignedIn;
    who->user = session.user;
    who->byCookie = true;
    who->token = token;
    who->csrf = session.csrf;
  }
  who->admin = who->user == kAdminName;
  return 0;
}

Provenance RequestProvenance() {
  const std::string own = OwnOrigin();
  const std::string fetchSite = Lower(Env("HTTP_SEC_FETCH_SITE"));
  if (!fetchSite.empty() && fetchSite != "same-origin" && fetchSite != "none") {
    return Provenance::kForeign;
  }
  const std::string origin = Env("HTTP_ORIGIN");
  if (!origin.empty()) {
    return !own.empty() && NormalOrigin(origin) == own ? Provenance::kSameOrigin
                                                       : Provenance::kForeign;
  }
  const std::string referer = Env("HTTP_REFERER");
  if (!referer.empty()) {
    std::string from = RefererOrigin(referer);
    return !own.empty() && !from.empty() && NormalOrigin(from) == own ? Provenance::kSameOrigin
                                                                      : Provenance::kForeign;
  }
  return fetchSite == "same-origin" ? Provenance::kSameOrigin : Provenance::kUnknown;
}

int CheckChangingRequest(const Identity& who) {
  if (RequestProvenance() == Provenance::kForeign) return kCrossOrigin;
  if (who.byCookie && (who.csrf.empty() || !SameSecret(Env("HTTP_X_CSRF_TOKEN"), who.csrf))) {
    return kCrossOrigin;
  }
  return 0;
}

std::string AccessErrorReply(int code, int retryAfter, const std::string& message,
                             const std::string& extraHeaders) {
  ErrorCode error = static_cast<ErrorCode>(code);
  std::string headers = extraHeaders;
  if (error == kTooManyFailures && retryAfter > 0) {
    headers += "Retry-After: " + std::to_string(retryAfter) + "\r\n";
  }
  return ErrorReply(error, message.empty() ? ErrorMessage(error) : message, headers);
}

}  // namespace front
