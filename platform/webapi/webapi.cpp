// ORVA::APIRequest and ORVA::APIResponse of the web API framework stand-in.
#include "webapi.h"

#include <json/reader.h>

#include <cstdio>
#include <memory>
#include <utility>

namespace ORVA {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `at`, all before `end`; -1 when there are not four.
long Hex4(const std::string& text, size_t at, size_t end) {
  if (at + 4 > end) return -1;
  long value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    int digit = HexDigit(text[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

void AppendUtf8(unsigned long code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

bool DecodeJsonString(const std::string& sent, std::string* decoded) {
  if (sent.size() < 2 || sent.front() != '"' || sent.back() != '"') return false;
  const size_t end = sent.size() - 1;  // the closing quote
  std::string out;
  for (size_t i = 1; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(sent[i]);
    // A quote inside ends the string early: what follows is a second value or junk.
    if (c == '"' || c < 0x20) return false;
    if (c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    if (++i >= end) return false;  // the closing quote is escaped
    switch (sent[i]) {
      case '"':
      case '\\':
      case '/':
        out += sent[i];
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        long unit = Hex4(sent, i + 1, end);
        if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
        i += 4;
        unsigned long code = static_cast<unsigned long>(unit);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          // Only a pair of surrogates is a character.
          if (i + 2 >= end || sent[i + 1] != '\\' || sent[i + 2] != 'u') return false;
          long low = Hex4(sent, i + 3, end);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          i += 6;
          code = 0x10000 + ((code - 0xD800) << 10) + static_cast<unsigned long>(low - 0xDC00);
        }
        AppendUtf8(code, &out);
        break;
      }
      default:
        return false;
    }
  }
  *decoded = std::move(out);
  return true;
}

std::string ParamText(const std::string& sent) {
  std::string decoded;
  return DecodeJsonString(sent, &decoded) ? decoded : sent;
}

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
  *text = ParamText(found->second);
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

void APIResponse::AppendEncodedToList(std::string_view json) {
  if (_stream) {
    _stream->AppendEncodedToList(json);
    return;
  }
  Json::Value element;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (reader->parse(json.data(), json.data() + json.size(), &element, nullptr) &&
      !_listMember.empty() && _data.isObject())
    _data[_listMember].append(std::move(element));
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
