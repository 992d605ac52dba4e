// The error replies of the CGI front itself, apart from those a module's handler gives.
// Codes 101-111 never clash with a module's own codes (the contacts module uses 900 and up).
// 101-107 are answered with HTTP 200 like a module's errors; the access errors 108-111 carry
// an HTTP status of their own so that browsers and scripts can tell them apart.
#ifndef ORVA_FRONT_ERRORS_H
#define ORVA_FRONT_ERRORS_H

namespace front {

enum ErrorCode {
  kNoModule = 101,        // the web API folder is missing or no module in it could be loaded
  kUnknownApi = 102,      // "api" missing, not a string, or served by no module
  kUnknownMethod = 103,   // "method" missing, not a string, or not a method of that API
  kUnknownVersion = 104,  // "version" missing, not an integer, or not served for that method
  kBadRequest =
      105,  // body truncated, too large, of an unknown type, or malformed; upload not stored
  kHandlerFailed = 106,     // the handler threw
  kHandlerNoReply = 107,    // the handler set no result and wrote nothing
  kNotSignedIn = 108,       // no valid session cookie or Basic credentials
  kPermissionDenied = 109,  // the signed-in user may not make this call
  kCrossOrigin = 110,       // a changing call from another origin or without the CSRF token
  kTooManyFailures = 111,   // too many failed sign-ins for this name or client address
};

inline const char* ErrorMessage(ErrorCode code) {
  switch (code) {
    case kNoModule:
      return "No web API module available";
    case kUnknownApi:
      return "Unknown API";
    case kUnknownMethod:
      return "Unknown method";
    case kUnknownVersion:
      return "Unsupported version";
    case kBadRequest:
      return "Bad request";
    case kHandlerFailed:
      return "Request handler failed";
    case kHandlerNoReply:
      return "Request handler gave no reply";
    case kNotSignedIn:
      return "Not signed in";
    case kPermissionDenied:
      return "Permission denied";
    case kCrossOrigin:
      return "Cross-origin request refused";
    case kTooManyFailures:
      return "Too many failed sign-ins, try again later";
  }
  return "Unknown error";
}

// The CGI "Status" value of the front's error reply, or null for a plain 200.
inline const char* ErrorStatus(ErrorCode code) {
  switch (code) {
    case kNotSignedIn:
      return "401 Unauthorized";
    case kPermissionDenied:
    case kCrossOrigin:
      return "403 Forbidden";
    case kTooManyFailures:
      return "429 Too Many Requests";
    default:
      return nullptr;
  }
}

}  // namespace front

#endif  // ORVA_FRONT_ERRORS_H
