// A card record as JSON: as a value for the edit and the tests, and as the listing's text written
// straight from the record's fields, member by member in the order JsonCpp keeps an object's keys
// (sorted), so that both give the same bytes.
#include <json/value.h>

#include <string>
#include <string_view>

#include "card_model.h"
#include "json_string.h"

namespace card {

namespace {

Json::Value Text(const std::string& text) { return Json::Value(text); }

Json::Value EntryJson(const Entry& entry) {
  Json::Value value(Json::objectValue);
  value["key"] = entry.key;
  value["cust_name"] = entry.labelled ? Text(entry.label) : Json::Value();
  if (!entry.types.empty()) {
    Json::Value& types = value["type"] = Json::Value(Json::arrayValue);
    for (const std::string& type : entry.types) types.append(type);
  }
  value["data"] = entry.data;
  return value;
}

// The JSON text of a record, written piece by piece.
class Writer {
 public:
  explicit Writer(std::string* out) : _out(out) {}

  // `"name":`, after a comma unless it is the first member of its object.
  Writer& Key(const char* name) {
    if (!_first) *_out += ',';
    _first = false;
    *_out += '"';
    *_out += name;
    *_out += "\":";
    return *this;
  }
  void String(std::string_view text) { ORVA::AppendJsonString(text, _out); }
  void Literal(const char* text) { *_out += text; }
  void Open(char bracket) {
    *_out += bracket;
    _first = true;
  }
  void Close(char bracket) {
    *_out += bracket;
    _first = false;
  }
  void Strings(const std::vector<std::string>& texts) {
    Open('[');
    for (const std::string& text : texts) {
      if (!_first) *_out += ',';
      _first = false;
      String(text);
    }
    Close(']');
  }
  void Entries(const std::vector<Entry>& entries) {
    Open('[');
    for (const Entry& entry : entries) {
      if (!_first) *_out += ',';
      Open('{');
      Key("cust_name");
      if (entry.labelled) {
        String(entry.label);
      } else {
        Literal("null");
      }
      Key("data").String(entry.data);
      Key("key").String(entry.key);
      if (!entry.types.empty()) {
        Key("type").Strings(entry.types);
      }
      Close('}');
    }
    Close(']');
  }

 private:
  std::string* _out;
  bool _first = true;
};

}  // namespace

Json::Value ToJson(const Record& record) {
  Json::Value value(Json::objectValue);
  Json::Value& name = value["name"] = Json::Value(Json::objectValue);
  name["family_name"] = record.familyName;
  name["given_name"] = record.givenName;
  name["additional_name"] = record.additionalName;
  Json::Value& company = value["company"] = Json::Value(Json::objectValue);
  company["org"] = record.org;
  company["title"] = record.title;
  value["note"] = record.note;
  if (record.hasBday) value["bday"] = record.bday;
  for (std::size_t kind = 0; kind < kEntryKindCount; ++kind) {
    const std::vector<Entry>& entries = record.entries[kind];
    // Phones and e-mails are always there; addresses and web addresses only when a card has one.
    if (entries.empty() && kind != kMailList && kind != kTelList) continue;
    Json::Value& list = value[kEntryKinds[kind].list] = Json::Value(Json::arrayValue);
    for (const Entry& entry : entries) list.append(EntryJson(entry));
  }
  value["other"] = record.other;
  if (record.lean) {
    value["photo"] = record.photo;
    Json::Value& categories = value["categories"] = Json::Value(Json::arrayValue);
    for (const std::string& category : record.categories) categories.append(category);
  }
  return value;
}

void AppendListedJson(const Record& record, const RowKeys& keys, std::string* out) {
  Writer json(out);
  json.Open('{');
  if (!record.entries[kAdrList].empty()) json.Key("adr").Entries(record.entries[kAdrList]);
  if (record.hasBday) json.Key("bday").String(record.bday);
  if (record.lean) json.Key("categories").Strings(record.categories);
  json.Key("company").Open('{');
  json.Key("org").String(record.org);
  json.Key("title").String(record.title);
  json.Close('}');
  json.Key("etag").String(keys.etag);
  json.Key("id").String(keys.id);
  json.Key("mail").Entries(record.entries[kMailList]);
  json.Key("name").Open('{');
  json.Key("additional_name").String(record.additionalName);
  json.Key("family_name").String(record.familyName);
  json.Key("given_name").String(record.givenName);
  json.Close('}');
  json.Key("note").String(record.note);
  json.Key("other").String(record.other);
  if (record.lean) json.Key("photo").Literal(record.photo ? "true" : "false");
  json.Key("resource_id").String(keys.resourceId);
  json.Key("tel").Entries(record.entries[kTelList]);
  if (!record.entries[kUrlList].empty()) json.Key("url").Entries(record.entries[kUrlList]);
  json.Close('}');
}

}  // namespace card
