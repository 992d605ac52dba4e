// auth.cgi: sign-in, sign-out and "who am I" for the web pages. A sign-in opens a session
// held by the front and sets its token in an HttpOnly, SameSite=Strict cookie.
#include <json/value.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "accounts.h"
#include "front_errors.h"
#include "http_auth.h"
#include "reply_output.h"
#include "sessions.h"
#include "user_directory.h"
#include "webapi.h"

namespace {

// Names and passwords are short; a larger body is no sign-in.
constexpr size_t kMaxBodyBytes = 16 * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

// An application/x-www-form-urlencoded text; the first value of a name wins.
std::map<std::string, std::string> ParseForm(const std::string& text) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('&', at);
    std::string pair = text.substr(at, end == std::string::npos ? end : end - at);
    size_t equals = pair.find('=');
    std::string name = PercentDecode(pair.substr(0, equals));
    std::string value = equals == std::string::npos ? "" : PercentDecode(pair.substr(equals + 1));
    if (!name.empty()) fields.emplace(name, value);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return fields;
}

bool ReadBody(std::string* body) {
  const std::string length = front::Env("CONTENT_LENGTH");
  if (length.empty()) return true;
  if (length.size() > 9 || length.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  size_t expected = std::strtoul(length.c_str(), nullptr, 10);
  if (expected > kMaxBodyBytes) return false;
  body->resize(expected);
  size_t got = 0;
  while (got < expected) {
    ssize_t n = ::read(STDIN_FILENO, &(*body)[got], expected - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

std::string MediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return type;
}

std::string CookieHeader(const std::string& token, long long maxAge) {
  bool https = front::Env("HTTPS") == "on";
  return "Set-Cookie: " + std::string(front::kSessionCookie) + "=" + token +
         "; HttpOnly; SameSite=Strict; Path=/; Max-Age=" + std::to_string(maxAge) +
         (https ? "; Secure" : "") + "\r\n";
}

int Reply(const std::string& bytes) {
  front::WriteStdout(bytes);
  return 0;
}

int ReplyUser(const front::Identity& who, const std::string& headers) {
  Json::Value data(Json::objectValue);
  data["user"] = who.user;
  data["admin"] = who.admin;
  data["csrf"] = who.csrf;
  if (who.admin) front::AddUserDirectory(&data);
  ORVA::APIResponse response;
  response.SetSuccess(data);
  return Reply(front::JsonReply(response, headers));
}

int BadRequest(const char* why) {
  std::fprintf(stderr, "auth.cgi: bad request: %s\n", why);
  return Reply(front::ErrorReply(front::kBadRequest, front::ErrorMessage(front::kBadRequest),
                                 "Status: 400 Bad Request\r\n"));
}

int Login(const std::map<std::string, std::string>& form) {
  if (front::RequestProvenance() == front::Provenance::kForeign) {
    return Reply(front::AccessErrorReply(front::kCrossOrigin, 0));
  }
  auto name = form.find("username");
  auto password = form.find("password");
  front::SessionStore store;
  if (!store.Open(true)) return Reply(front::AccessErrorReply(front::kNotSignedIn, 0));
  int retryAfter = 0;
  int code = front::SignIn(&store, name == form.end() ? "" : name->second,
                           password == form.end() ? "" : password->second, &retryAfter);
  if (code == front::kNotSignedIn) {
    return Reply(front::AccessErrorReply(code, 0, "Wrong user name or password"));
  }
  if (code != 0) return Reply(front::AccessErrorReply(code, retryAfter));

  // A session the browser still holds ends here, so one sign-in never leaves two behind.
  std::string old = front::SessionCookie(front::Env("HTTP_COOKIE"));
  if (!old.empty()) store.Delete(old);
  front::Identity who;
  who.user = name->second;
  who.admin = who.user == front::kAdminName;
  who.byCookie = true;
  if (!store.Create(who.user, &who.token, &who.csrf)) {
    std::fprintf(stderr, "auth.cgi: cannot store a session for %s\n", who.user.c_str());
    return Reply(front::ErrorReply(front::kHandlerFailed, "Cannot start a session",
                                   "Status: 500 Internal Server Error\r\n"));
  }
  return ReplyUser(who, CookieHeader(who.token, front::kSessionSeconds));
}

int Logout() {
  if (front::RequestProvenance() == front::Provenance::kForeign) {
    return Reply(front::AccessErrorReply(front::kCrossOrigin, 0));
  }
  std::string token = front::SessionCookie(front::Env("HTTP_COOKIE"));
  if (!token.empty()) {
    front::SessionStore store;
    if (store.Open(false)) store.Delete(token);
  }
  ORVA::APIResponse response;
  response.SetSuccess(Json::Value());
  return Reply(front::JsonReply(response, CookieHeader("", 0)));
}

int WhoAmI() {
  front::Identity who;
  int retryAfter = 0;
  if (int code = front::Authenticate(&who, &retryAfter)) {
    return Reply(front::AccessErrorReply(code, retryAfter));
  }
  return ReplyUser(who, "");
}

}  // namespace

int main() {
  const std::string method = front::Env("REQUEST_METHOD");
  std::map<std::string, std::string> form;
  if (method == "POST") {
    std::string body;
    if (!ReadBody(&body)) return BadRequest("unreadable or too large body");
    if (!body.empty() &&
        MediaType(front::Env("CONTENT_TYPE")) != "application/x-www-form-urlencoded") {
      return BadRequest("body is not urlencoded");
    }
    form = ParseForm(body);
  }
  // The action may also come in the query string; names and passwords only in the body, so
  // that they never land in an access log.
  std::string action;
  auto field = form.find("action");
  if (field != form.end()) {
    action = field->second;
  } else {
    auto query = ParseForm(front::Env("QUERY_STRING"));
    auto it = query.find("action");
    if (it != query.end()) action = it->second;
  }

  if (action == "whoami" && (method == "GET" || method == "POST")) return WhoAmI();
  if (method != "POST") return BadRequest("sign-in and sign-out take POST");
  if (action == "login") return Login(form);
  if (action == "logout") return Logout();
  return BadRequest("unknown action");
}
