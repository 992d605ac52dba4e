// Card records as the listing gives them and the pages send them back, and JSON text read in
// tests, built in one place so that every test compares against the same shapes.
#ifndef LUMIDEX_TESTS_RECORDS_H
#define LUMIDEX_TESTS_RECORDS_H

#include <gtest/gtest.h>
#include <json/json.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace testenv {

// Reads `text` into `value`; false when it is no JSON.
inline bool ParseJson(const std::string& text, Json::Value* value) {
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), value, &errors);
}

// The value of `text`; text that is no JSON fails the test.
inline Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  if (!ParseJson(text, &value)) ADD_FAILURE() << "not JSON: " << text.substr(0, 2000);
  return value;
}

// An entry of tel, mail, adr or url as a page sends it for a new card: data and types alone.
// No types means no `type` key.
inline Json::Value Entry(const std::string& data, const std::vector<std::string>& types = {}) {
  Json::Value entry(Json::objectValue);
  for (const std::string& type : types) entry["type"].append(type);
  entry["data"] = data;
  return entry;
}

// An entry as the listing gives it: its property name (with any group), its label, types, data.
inline Json::Value Entry(const char* key, const Json::Value& label,
                         const std::vector<std::string>& types, const std::string& data) {
  Json::Value entry = Entry(data, types);
  entry["key"] = key;
  entry["cust_name"] = label;
  return entry;
}

inline Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value array(Json::arrayValue);
  for (const Json::Value& item : items) array.append(item);
  return array;
}

inline Json::Value Name(const char* family, const char* given, const char* additional) {
  Json::Value name(Json::objectValue);
  name["family_name"] = family;
  name["given_name"] = given;
  name["additional_name"] = additional;
  return name;
}

inline Json::Value Company(const char* org, const char* title) {
  Json::Value company(Json::objectValue);
  company["org"] = org;
  company["title"] = title;
  return company;
}

}  // namespace testenv

#endif  // LUMIDEX_TESTS_RECORDS_H
