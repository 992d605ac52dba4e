// The request frame: construction of the per-request handler and the steps every request
// operation shares (parameter check, error reply, user lookup).
#include <syslog.h>

#include "contact_and_calendar_handler.h"
#include "error_log.h"

ContactAndCalendarHandler::ContactAndCalendarHandler(ORVA::APIRequest* request,
                                                     ORVA::APIResponse* response,
                                                     std::string methodName)
    : _request(request),
      _response(response),
      _methodName(std::move(methodName)),
      _confManager(),
      _dbHandler(),
      _labelMap() {}

ContactAndCalendarHandler::~ContactAndCalendarHandler() = default;

bool ContactAndCalendarHandler::hasParams(int line, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (!_request->HasParam(name)) {
      replyLoggedError(line, 900, "Request lost parameters");
      return false;
    }
  }
  return true;
}

void ContactAndCalendarHandler::replyLoggedError(int line, int code, const char* message) {
  ErrorLog(MODULE_SOURCE, line, 1, message, static_cast<const char*>(nullptr));
  _response->SetError(code, Json::Value(message));
}

bool ContactAndCalendarHandler::lookupGUID(const std::string& user, bool provision,
                                           std::string& guid) {
  if (!_dbHandler.LookupGUID(user, guid)) return false;
  if (!provision) return true;
  // A user mapped but without an address book was first seen while the daemon's database was
  // down; provisioning completes it.
  if (!guid.empty() && !_dbHandler.HomeIsMissing(guid)) return true;
  _dbHandler.SetupUserBasicInfo(user);
  return _dbHandler.LookupGUID(user, guid);
}

bool ContactAndCalendarHandler::knownUserGUID(int line, const std::string& user,
                                              std::string& guid) {
  if (!lookupGUID(user, false, guid)) return false;
  if (guid.empty())
    syslog(LOG_ERR, "%s:%d Can't find [%s]'s ID", MODULE_SOURCE, line, user.c_str());
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
