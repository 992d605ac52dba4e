// Card listing and search ("list_cards"): every card of one user's address book as a card
// record, optionally filtered by a search text, in the order the store returns them.
#include <algorithm>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/range/iterator_range.hpp>
#include <cstring>
#include <iterator>
#include <locale>
#include <string>
#include <utility>
#include <vector>

#include "contact_and_calendar_handler.h"
#include "vcard_line.h"

namespace {

// record[key] when the record is an object holding it, else null. The records searched are the
// reader's own, but a malformed one must not make the lookup throw.
const Json::Value& MemberOf(const Json::Value& record, const char* key) {
  static const Json::Value kNull;
  if (!record.isObject()) return kNull;
  const Json::Value* found = record.find(key, key + std::char_traits<char>::length(key));
  return found ? *found : kNull;
}

// Whether the lower-cased `text` holds `loweredKey`. `scratch` takes the lowered copy, so that a
// search over thousands of cards does not allocate for every field.
bool TextContains(const Json::Value& text, const std::string& loweredKey, const std::locale& locale,
                  std::string& scratch) {
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!text.isString() || !text.getString(&begin, &end)) return loweredKey.empty();
  scratch.clear();
  // Values are vCard text; the search matches what the person sees, so escapes are undone first
  // (only for the few values that hold one).
  std::string unescaped;
  if (std::memchr(begin, '\\', static_cast<std::size_t>(end - begin))) {
    unescaped = vcard::UnescapeText(std::string_view(begin, static_cast<std::size_t>(end - begin)));
    begin = unescaped.data();
    end = begin + unescaped.size();
  }
  boost::algorithm::to_lower_copy(std::back_inserter(scratch),
                                  boost::make_iterator_range(begin, end), locale);
  return scratch.find(loweredKey) != std::string::npos;
}

bool AnyEntryDataContains(const Json::Value& entries, const std::string& loweredKey,
                          const std::locale& locale, std::string& scratch) {
  if (!entries.isArray()) return false;
  for (const Json::Value& entry : entries) {
    if (TextContains(MemberOf(entry, "data"), loweredKey, locale, scratch)) return true;
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
  std::string scratch;
  return TextContains(MemberOf(name, "family_name"), key, locale, scratch) ||
         TextContains(MemberOf(name, "given_name"), key, locale, scratch) ||
         TextContains(MemberOf(company, "org"), key, locale, scratch) ||
         TextContains(MemberOf(company, "title"), key, locale, scratch) ||
         AnyEntryDataContains(MemberOf(record, "mail"), key, locale, scratch) ||
         AnyEntryDataContains(MemberOf(record, "tel"), key, locale, scratch);
}

void ContactAndCalendarHandler::listCards() {
  if (!hasParams(__LINE__, {"user"})) return;
  std::string user;
  std::string searchKey;
  if (!readTextParam("user", user) || !readTextParam("search_key", searchKey)) {
    replyLoggedError(__LINE__, 900, "Request lost parameters");
    return;
  }

  std::string guid;
  if (!lookupGUID(user, true, guid)) {
    replyLoggedError(__LINE__, 1014, kLookupFailed);
    return;
  }
  // An empty list is an answer only when the store could read it.
  if (!streamCards(guid, searchKey)) {
    replyLoggedError(__LINE__, 1012, "Fail to read cards from DB");
    return;
  }
}
