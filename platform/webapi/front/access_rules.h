// Who may make which call of the web API: the rules the front applies after sign-in and
// before any module runs.
#ifndef ORVA_FRONT_ACCESS_RULES_H
#define ORVA_FRONT_ACCESS_RULES_H

#include <string>

#include "http_auth.h"
#include "webapi.h"

namespace front {

// Whether a call may change something. Only calls known to read are not; a method of an API
// this front does not know is taken to change.
bool IsChangingCall(const std::string& api, const std::string& method);

// Whether `who` may call `api` with `request`. "admin" may call anything. Anyone else may call
// only the contacts methods, and only naming themselves in "user", read as text the way the
// module reads it (ORVA::APIRequest::GetParamText): `user="ann"` and `user=ann` are both ann.
bool MayCall(const Identity& who, const std::string& api, const ORVA::APIRequest& request);

}  // namespace front

#endif  // ORVA_FRONT_ACCESS_RULES_H
