// Call permissions of the CGI front (see access_rules.h).
#include "access_rules.h"

namespace front {

namespace {

constexpr const char kContactsApi[] = "ORVA.ContactAndCalendar.Contacts";
constexpr const char kCommonApi[] = "ORVA.ContactAndCalendar.Common";

}  // namespace

bool IsChangingCall(const std::string& api, const std::string& method) {
  if (api == kContactsApi) {
    return method != "list_cards" && method != "export_cards" && method != "export_all_cards" &&
           method != "get_photo";
  }
  if (api == kCommonApi) return method != "get";
  return true;
}

bool MayCall(const Identity& who, const std::string& api, const ORVA::APIRequest& request) {
  if (who.admin) return true;
  if (api != kContactsApi) return false;
  std::string user;
  return request.GetParamText("user", &user) && user == who.user;
}

}  // namespace front
