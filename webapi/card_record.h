// Reading a card record sent by a client without ever throwing: a member of something that is no
// object, a text that is no string and a list that is no array all read as empty. Shared by the
// writer and the edit.
#ifndef WEBAPI_CARD_RECORD_H
#define WEBAPI_CARD_RECORD_H

#include <json/value.h>

#include <string>

namespace record {

inline const Json::Value& Member(const Json::Value& object, const char* key) {
  static const Json::Value absent;
  return object.isObject() ? object[key] : absent;
}

inline std::string Text(const Json::Value& value) {
  return value.isString() ? value.asString() : std::string();
}

inline const Json::Value& Elements(const Json::Value& value) {
  static const Json::Value none(Json::arrayValue);
  return value.isArray() ? value : none;
}

}  // namespace record

#endif  // WEBAPI_CARD_RECORD_H
