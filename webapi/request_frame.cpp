// The request frame: construction of the per-request handler and the steps every request
// operation shares (parameter check, refusal, user lookup).
#include <syslog.h>

#include <cstdio>

#include "contact_and_calendar_handler.h"
#include "error_log.h"

ContactAndCalendarHandler::ContactAndCalendarHandler(ORVA::APIRequest* request,
                                                     ORVA::APIResponse* response,
                                                     std::string methodName)
    : _request(request),
      _response(response),
      _methodName(std::move(methodName)),
      _confManager(),
      _dbHandler() {}

ContactAndCalendarHandler::~ContactAndCalendarHandler() = default;

void ContactAndCalendarHandler::logError(int line, const std::string& text) {
  ErrorLog(MODULE_SOURCE, line, 1, text.c_str(), static_cast<const char*>(nullptr));
}

void ContactAndCalendarHandler::refuse(int line, int code, const char* message,
                                       const std::string& logged) {
  if (!logged.empty()) logError(line, logged);
  if (!_answersDownload) {
    _response->SetError(code, Json::Value(message));
    return;
  }
  static const char kNotFound[] = "Status: 404 Not Found\r\n\r\n";
  std::fwrite(kNotFound, 1, sizeof kNotFound - 1, stdout);
  std::fflush(stdout);
}

bool ContactAndCalendarHandler::hasParams(int line, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!_request->HasParam(name)) {
      refuse(line, 900, "Request lost parameters");
      return false;
    }
  }
  return true;
}

bool ContactAndCalendarHandler::readTextParam(const char* name, std::string& text) {
  // The text as sent: the front's JSON reading would make "null" of user=null and 1000.0 of
  // user=1e3, another address book than the one the client named.
  if (_request->GetParamText(name, &text)) return true;
  const Json::Value value = _request->GetParam(name, Json::Value());
  if (value.isObject() || value.isArray()) return false;
  text = value.asString();
  return true;
}

bool ContactAndCalendarHandler::findUser(int line, bool provision, const Refusal& badUser,
                                         std::string& guid) {
  // The front passes a name made of digits as a number; it is still the same name.
  std::string user;
  if (!readTextParam("user", user)) {
    refuse(line, badUser.code, badUser.message, badUser.logged);
    return false;
  }
  bool read = _dbHandler.LookupGUID(user, guid);
  // A user mapped but without an address book was first seen while the daemon's database was
  // down; provisioning completes it.
  if (read && provision && (guid.empty() || _dbHandler.HomeIsMissing(guid))) {
    _dbHandler.SetupUserBasicInfo(user);
    read = _dbHandler.LookupGUID(user, guid);
  }
  if (!read) {
    refuse(line, 1014, kLookupFailed);
    return false;
  }
  if (guid.empty() && !provision) {
    syslog(LOG_ERR, "%s:%d Can't find [%s]'s ID", MODULE_SOURCE, line, user.c_str());
  }
  return true;
}
