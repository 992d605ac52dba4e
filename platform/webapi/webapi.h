// Stand-in for the appliance's web API framework (libwebapi-Veyra5): the request and response
// objects handed to a module's handlers, and the row format of a module's API table.
#ifndef ORVA_WEBAPI_H
#define ORVA_WEBAPI_H

#include <json/value.h>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "reply_stream.h"

namespace ORVA {

class APIRequest {
 public:
  APIRequest();
  explicit APIRequest(const Json::Value& params);

  bool HasParam(const std::string& name) const;
  // The parameter's value, or `defaultValue` when absent.
  Json::Value GetParam(const std::string& name, const Json::Value& defaultValue) const;

  // The parameter as text, from what the client sent rather than from its JSON value: what a
  // handler that wants text reads (ParamText), so that "null", "1e3" or "007" stay the names
  // they spell while `"alice"` is alice. False when the request holds no such text (the
  // parameter is absent or was given as a value only).
  bool GetParamText(const std::string& name, std::string* text) const;

  // Framework side: set by the front while decoding a request.
  void SetParam(const std::string& name, const Json::Value& value);
  // The same with the text the value was read from.
  void SetParam(const std::string& name, const Json::Value& value, const std::string& text);
  const Json::Value& Params() const { return _params; }

 private:
  Json::Value _params;                        // object: name -> value
  std::map<std::string, std::string> _texts;  // name -> text as sent
};

class APIResponse {
 public:
  APIResponse();

  void SetSuccess(const Json::Value& data);
  // Takes `data` over without copying it: a long listing's reply is built once and kept once.
  void SetSuccess(Json::Value&& data);
  void SetError(int code, const Json::Value& data);

  // A success reply whose data is {member: [elements]}, the elements handed over one at a time
  // and sent as they come, so that a long list is never held whole. Counts as the request's one
  // SetSuccess; nothing is sent before it, so a failure found earlier is still answered with
  // SetError. Without a stream from the front the elements are collected into Data().
  void BeginSuccessList(const char* member);
  // An element as its JSON text, as the front would encode it: a handler that reads many
  // records writes each straight as text instead of building a value per record. Without a
  // stream it is read back into Data().
  void AppendEncodedToList(std::string_view json);
  void EndSuccessList();
  // Bytes of a reply the handler writes itself (header lines, empty line, body), sent as they
  // come; without a stream from the front they go to standard output. False when they could
  // not be written.
  bool WriteRaw(const char* data, std::size_t size);

  // Framework side.
  void SetStream(ReplyStream* stream) { _stream = stream; }
  bool IsSet() const { return _calls > 0; }
  int Calls() const { return _calls; }  // how often SetSuccess/SetError were called
  bool IsSuccess() const { return _success; }
  int ErrorCode() const { return _code; }
  const Json::Value& Data() const { return _data; }
  // {"success":true,"data":D} or {"success":false,"error":{"code":N,"message":D}}
  Json::Value ToJson() const;

 private:
  int _calls;
  bool _success;
  int _code;
  Json::Value _data;
  ReplyStream* _stream = nullptr;
  std::string _listMember;  // the member of _data a list is collected into, while it is open
};

// The text a parameter stands for, given the raw text sent (shown here between backquotes): a
// raw text that is exactly one JSON string (`"alice"`, `"a\"b"`, `"\u00e9"`) is that string,
// decoded; any other is itself (`null`, `1e3`, `%09007` (a tab, 007), `alice`, `"a" "b"`). The
// platform's callers send every parameter JSON-encoded, strings included; scripts send bare text.
// The front's access check and the handlers' text reads both go through this one function, so they
// always name the same user.
std::string ParamText(const std::string& sent);
// Whether `sent` is exactly one JSON string, with its decoded value in `decoded` when it is. A
// raw control character, a stray quote or a lone surrogate escape makes it something else.
bool DecodeJsonString(const std::string& sent, std::string* decoded);

typedef void (*APIHandler)(APIRequest* request, APIResponse* response);

// One row of a module's API table; the table ends with a row whose four fields are zero.
struct APITableRow {
  const char* api;
  int version;
  const char* method;
  APIHandler handler;
};

}  // namespace ORVA

#endif  // ORVA_WEBAPI_H
