// entry.cgi: the web API framework's CGI front. Checks who sent the request, decodes it, loads
// the modules of the package's web API folder, checks that the sender may make the call, runs
// the handler of the matching table row and writes the reply.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "access_rules.h"
#include "front_errors.h"
#include "http_auth.h"
#include "lumidex_paths.h"
#include "module_table.h"
#include "reply_json.h"
#include "reply_output.h"
#include "reply_stream.h"
#include "request_params.h"
#include "webapi.h"

namespace {

bool ReadVersion(const Json::Value& value, int* version) {
  if (value.isInt()) {
    *version = value.asInt();
    return true;
  }
  if (!value.isString()) return false;
  const std::string text = value.asString();
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *version = std::atoi(text.c_str());
  return true;
}

int ReplyError(front::ErrorCode code) {
  front::WriteStdout(front::ErrorReply(code));
  return 0;
}

// Runs the handler with its output caught. Returns the code of the front's error reply, or 0
// when the handler gave a reply of its own (a result, or bytes it wrote).
int RunHandler(const ORVA::APITableRow& row, ORVA::APIRequest& request, front::Uploads* uploads) {
  // Never freed, and static so that leak checkers still see it: the process ends with this
  // reply, and taking a long listing's tree apart node by node would only delay that end.
  static ORVA::APIResponse& response = *new ORVA::APIResponse;
  front::HandlerOutput output;
  if (!output.Begin()) {
    std::fprintf(stderr, "entry.cgi: cannot catch the handler's output\n");
    return front::kHandlerFailed;
  }
  // A list or download the handler streams goes to the client as it comes.
  // A list goes out compressed when the client takes it so: lighttpd compresses only replies it
  // has whole, and a listing reaches the client while it is still being written.
  front::ClientStream stream(output.ClientDescriptor(),
                             front::ListCoding(std::getenv("HTTP_ACCEPT_ENCODING")));
  response.SetStream(&stream);
  bool threw = true;
  try {
    row.handler(&request, &response);
    threw = false;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "entry.cgi: %s/%s threw: %s\n", row.api, row.method, e.what());
  } catch (...) {
    std::fprintf(stderr, "entry.cgi: %s/%s threw a non-standard exception\n", row.api, row.method);
  }
  const bool streamed = stream.Flush();
  response.SetStream(nullptr);
  output.End();
  uploads->RemoveAll();
  // Part of the reply has reached the client already: no other can follow it.
  if (stream.Started()) {
    if (threw || !stream.Complete() || !streamed) {
      std::fprintf(stderr, "entry.cgi: %s/%s streamed reply cut short\n", row.api, row.method);
    }
    if (output.Size() > 0 || response.Calls() > 1) {
      std::fprintf(stderr,
                   "entry.cgi: %s/%s streamed a reply and also answered otherwise; dropped\n",
                   row.api, row.method);
    }
    return 0;
  }
  // Whatever a failed handler wrote is incomplete, so none of it reaches the client.
  if (threw) return front::kHandlerFailed;
  if (response.IsSet()) {
    if (output.Size() > 0) {
      std::fprintf(stderr, "entry.cgi: %s/%s set a result and also wrote %lld bytes; dropped\n",
                   row.api, row.method, output.Size());
    }
    front::WriteJsonReply(STDOUT_FILENO, response);
    return 0;
  }
  if (output.Size() == 0) return front::kHandlerNoReply;
  output.CopyToStdout();
  return 0;
}

}  // namespace

int main() {
  // Before the body is read: nobody unknown gets as much as an upload stored.
  front::Identity who;
  int retryAfter = 0;
  if (int denied = front::Authenticate(&who, &retryAfter)) {
    front::WriteStdout(front::AccessErrorReply(denied, retryAfter));
    return 0;
  }

  front::Uploads uploads;
  ORVA::APIRequest request;
  std::string why;
  if (!front::DecodeRequest(&request, &uploads, &why)) {
    std::fprintf(stderr, "entry.cgi: bad request: %s\n", why.c_str());
    return ReplyError(front::kBadRequest);
  }

  std::vector<const ORVA::APITableRow*> tables =
      front::LoadModuleTables(lumidex::RootedPath(lumidex::kWebApiDir));
  if (tables.empty()) return ReplyError(front::kNoModule);

  // A missing or non-text name matches no row, so the reply says which of the three is wrong.
  const Json::Value& params = request.Params();
  const Json::Value api = params.get("api", Json::Value());
  const Json::Value method = params.get("method", Json::Value());
  int version = 0;
  bool versionGiven = ReadVersion(params.get("version", Json::Value()), &version);
  const ORVA::APITableRow* row = nullptr;
  front::ErrorCode error = front::kUnknownApi;
  if (!front::FindRow(tables, api.isString() ? api.asString() : "", version,
                      method.isString() ? method.asString() : "", &row, &error)) {
    return ReplyError(error);
  }
  if (!versionGiven) return ReplyError(front::kUnknownVersion);

  if (front::IsChangingCall(row->api, row->method)) {
    if (int refused = front::CheckChangingRequest(who)) {
      std::fprintf(stderr, "entry.cgi: %s/%s by %s refused: cross-origin or no CSRF token\n",
                   row->api, row->method, who.user.c_str());
      return ReplyError(static_cast<front::ErrorCode>(refused));
    }
  }
  if (!front::MayCall(who, row->api, request)) return ReplyError(front::kPermissionDenied);

  int code = RunHandler(*row, request, &uploads);
  if (code != 0) return ReplyError(static_cast<front::ErrorCode>(code));
  return 0;
}
