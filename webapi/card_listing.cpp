// Card listing and search ("list_cards"): every card of one user's address book as a card
// record, optionally filtered by a search text, in the order the store returns them.
#include <boost/algorithm/string/case_conv.hpp>
#include <locale>
#include <string>

#include "contact_and_calendar_handler.h"

namespace {

// A parameter read as text. Numbers and booleans read as JsonCpp writes them and null as "";
// an object or an array has no text (converting it would throw), so it is refused.
bool ReadText(const Json::Value& value, std::string& text) {
  if (value.isObject() || value.isArray()) return false;
  text = value.asString();
  return true;
}

// record[key] when the record is an object holding it, else null. The records searched are the
// reader's own, but a malformed one must not make the lookup throw.
const Json::Value& MemberOf(const Json::Value& record, const char* key) {
  static const Json::Value kNull;
  if (!record.isObject()) return kNull;
  const Json::Value* found = record.find(key, key + std::char_traits<char>::length(key));
  return found ? *found : kNull;
}

bool TextContains(const Json::Value& text, const std::string& loweredKey,
                  const std::locale& locale) {
  if (!text.isString()) return loweredKey.empty();
  return boost::algorithm::to_lower_copy(text.asString(), locale).find(loweredKey) !=
         std::string::npos;
}

bool AnyEntryDataContains(const Json::Value& entries, const std::string& loweredKey,
                          const std::locale& locale) {
  if (!entries.isArray()) return false;
  for (const Json::Value& entry : entries) {
    if (TextContains(MemberOf(entry, "data"), loweredKey, locale)) return true;
  }
  return false;
}

}  // namespace

bool ContactAndCalendarHandler::isMatch(const Json::Value& record, const std::string& searchKey) {
  // The process's global locale decides what lower-casing does; under the default one only
  // A to Z change and every other byte must match exactly.
  const std::locale locale;
  const std::string key = boost::algorithm::to_lower_copy(searchKey, locale);
  const Json::Value& name = MemberOf(record, "name");
  const Json::Value& company = MemberOf(record, "company");
  return TextContains(MemberOf(name, "family_name"), key, locale) ||
         TextContains(MemberOf(name, "given_name"), key, locale) ||
         TextContains(MemberOf(company, "org"), key, locale) ||
         TextContains(MemberOf(company, "title"), key, locale) ||
         AnyEntryDataContains(MemberOf(record, "mail"), key, locale) ||
         AnyEntryDataContains(MemberOf(record, "tel"), key, locale);
}

void ContactAndCalendarHandler::listCards() {
  if (!hasParams(__LINE__, {"user"})) return;
  std::string user;
  std::string searchKey;
  if (!ReadText(_request->GetParam("user", Json::Value()), user) ||
      !ReadText(_request->GetParam("search_key", Json::Value()), searchKey)) {
    replyLoggedError(__LINE__, 900, "Request lost parameters");
    return;
  }

  const std::string guid = lookupGUID(user, true);
  Json::Value names(Json::arrayValue);
  Json::Value texts(Json::arrayValue);
  Json::Value ids(Json::arrayValue);
  const unsigned int count = _dbHandler.GetCards(names, texts, guid, ids);

  Json::Value reply(Json::objectValue);
  Json::Value& cards = reply["cards"] = Json::Value(Json::arrayValue);
  std::string buffer;
  for (Json::ArrayIndex i = 0; i < count && i < texts.size(); ++i) {
    const char* begin = "";
    const char* end = begin;
    if (texts[i].isString()) texts[i].getString(&begin, &end);
    // A card shows only the labels it defines itself, never those of an earlier card.
    _labelMap = Json::Value();
    buffer.assign(begin, end);
    ParseCardLabel(buffer.data());
    buffer.assign(begin, end);
    Json::Value record(Json::objectValue);
    ParseCardText(buffer.data(), record);
    record["id"] = names[i].isString() ? names[i].asString() : "";
    record["resource_id"] = ids[i].isString() ? ids[i].asString() : "";
    if (searchKey.empty() || isMatch(record, searchKey)) cards.append(std::move(record));
  }
  _response->SetSuccess(reply);
}
