// ORVA::APIRequest and ORVA::APIResponse of the web API framework stand-in.
#include "webapi.h"

#include <cstdio>
#include <utility>

namespace ORVA {

APIRequest::APIRequest() : _params(Json::objectValue) {}

APIRequest::APIRequest(const Json::Value& params)
    : _params(params.isObject() ? params : Json::Value(Json::objectValue)) {}

bool APIRequest::HasParam(const std::string& name) const { return _params.isMember(name); }

Json::Value APIRequest::GetParam(const std::string& name, const Json::Value& defaultValue) const {
  return _params.isMember(name) ? _params[name] : defaultValue;
}

bool APIRequest::GetParamText(const std::string& name, std::string* text) const {
  auto found = _texts.find(name);
  if (found == _texts.end()) return false;
  *text = found->second;
  return true;
}

void APIRequest::SetParam(const std::string& name, const Json::Value& value) {
  _params[name] = value;
  // A text kept from an earlier value of the name would no longer be the one sent.
  _texts.erase(name);
}

void APIRequest::SetParam(const std::string& name, const Json::Value& value,
                          const std::string& text) {
  _params[name] = value;
  _texts[name] = text;
}

APIResponse::APIResponse() : _calls(0), _success(false), _code(0) {}

void APIResponse::SetSuccess(const Json::Value& data) {
  ++_calls;
  _success = true;
  _code = 0;
  _data = data;
}

void APIResponse::SetSuccess(Json::Value&& data) {
  ++_calls;
  _success = true;
  _code = 0;
  _data = std::move(data);
}

void APIResponse::SetError(int code, const Json::Value& data) {
  ++_calls;
  _success = false;
  _code = code;
  _data = data;
}

void APIResponse::BeginSuccessList(const char* member) {
  ++_calls;
  _success = true;
  _code = 0;
  if (_stream) {
    _data = Json::Value();
    _stream->BeginList(member);
    return;
  }
  _data = Json::Value(Json::objectValue);
  _data[member] = Json::Value(Json::arrayValue);
  _listMember = member;
}

void APIResponse::AppendToList(Json::Value&& element) {
  if (_stream) {
    _stream->AppendToList(element);
  } else if (!_listMember.empty() && _data.isObject()) {
    _data[_listMember].append(std::move(element));
  }
}

void APIResponse::EndSuccessList() {
  if (_stream) _stream->EndList();
  _listMember.clear();
}

bool APIResponse::WriteRaw(const char* data, std::size_t size) {
  if (_stream) return _stream->WriteRaw(data, size);
  return std::fwrite(data, 1, size, stdout) == size;
}

Json::Value APIResponse::ToJson() const {
  Json::Value reply(Json::objectValue);
  reply["success"] = _success;
  if (_success) {
    reply["data"] = _data;
  } else {
    reply["error"]["code"] = _code;
    reply["error"]["message"] = _data;
  }
  return reply;
}

}  // namespace ORVA
