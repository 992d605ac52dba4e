// Call permissions of the CGI front (see access_rules.h).
#include "access_rules.h"

#include <cstring>

namespace front {

namespace {

constexpr const char kContactsApi[] = "ORVA.ContactAndCalendar.Contacts";
constexpr const char kCommonApi[] = "ORVA.ContactAndCalendar.Common";

}  // namespace

bool IsChangingCall(const std::string& api, const std::string& method) {
  if (api == kContactsApi) {
    return method != "list_cards" && method != "export_cards" && method != "export_all_cards";
  }
  if (api == kCommonApi) return method != "get";
  return true;
}

bool MayCall(const Identity& who, const std::string& api, const Json::Value& params) {
  if (who.admin) return true;
  if (api != kContactsApi || !params.isObject()) return false;
  static const char kUser[] = "user";
  const Json::Value* user = params.find(kUser, kUser + std::strlen(kUser));
  // The module reads a scalar "user" as text; objects and arrays it refuses anyway.
  if (!user || user->isObject() || user->isArray() || user->isNull()) return false;
  return user->asString() == who.user;
}

}  // namespace front
