// The error replies of the CGI front itself, apart from those a module's handler gives.
// Codes 101-107 never clash with a module's own codes (the contacts module uses 900 and up).
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
  kHandlerFailed = 106,   // the handler threw
  kHandlerNoReply = 107,  // the handler set no result and wrote nothing
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
  }
  return "Unknown error";
}

}  // namespace front

#endif  // ORVA_FRONT_ERRORS_H
