// The rules of the card model that the reader, the new card and the edit share, and the search
// over a record.
#include "card_model.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/range/iterator_range.hpp>
#include <cstring>
#include <iterator>
#include <locale>

#include "card_record.h"
#include "vcard_line.h"

namespace card {

const EntryKind kEntryKinds[kEntryKindCount] = {
    {"EMAIL", "mail"}, {"TEL", "tel"}, {"ADR", "adr"}, {"URL", "url"}};

const EntryKind* EntryKindNamed(std::string_view property) {
  for (const EntryKind& kind : kEntryKinds) {
    if (vcard::EqualsNoCase(property, kind.property)) return &kind;
  }
  return nullptr;
}

std::string FreshGroup(std::set<std::string>& used) {
  for (unsigned n = 1;; ++n) {
    std::string group = "item" + std::to_string(n);
    if (used.insert(group).second) return group;
  }
}

std::string FormattedName(const std::vector<std::string>& n) {
  std::string shown;
  for (std::size_t i : {3, 1, 2, 0, 4}) {
    if (i >= n.size() || n[i].empty()) continue;
    if (!shown.empty()) shown += ' ';
    shown += n[i];
  }
  return vcard::UnescapeText(shown);
}

std::string NewCardFormattedName(const std::string& family, const std::string& given,
                                 const std::string& additional) {
  return family + " " + given + " " + additional;
}

namespace {

// A type word as the parameter value written; false when none can hold it.
bool SpelledType(const Json::Value& type, std::string& spelled) {
  return vcard::SpellParameterValue(vcard::JoinLineBreaks(record::Text(type)), spelled);
}

}  // namespace

std::string TypeParameters(const Json::Value& types, const char* spelling) {
  std::string parameters;
  std::string spelled;
  for (const Json::Value& type : record::Elements(types)) {
    if (SpelledType(type, spelled) && !spelled.empty()) parameters.append(spelling).append(spelled);
  }
  return parameters;
}

std::string UnwritableType(const Json::Value& record) {
  std::string spelled;
  for (const EntryKind& kind : kEntryKinds) {
    const Json::Value& entries = record::Elements(record::Member(record, kind.list));
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      const Json::Value& types = record::Elements(record::Member(entries[i], "type"));
      for (Json::ArrayIndex t = 0; t < types.size(); ++t) {
        if (!SpelledType(types[t], spelled)) {
          return std::string(kind.list) + "[" + std::to_string(i) + "].type[" + std::to_string(t) +
                 "]";
        }
      }
    }
  }
  return "";
}

bool HasData(const EntryKind& kind, const std::string& data) {
  if (std::string(kind.property) != "ADR") return !data.empty();
  return AddressValue(data).find_first_not_of(';') != std::string::npos;
}

std::string AddressValue(const std::string& data) {
  if (data.find(';') != std::string::npos) return data;
  // Only the space character: a leading tab is part of the value.
  const std::size_t start = std::min(data.find_first_not_of(' '), data.size());
  return ";;" + data.substr(start) + ";;;;";
}

namespace {

// Whether the lower-cased `text` holds `loweredKey`. `scratch` takes the lowered copy, so that a
// search over thousands of cards does not allocate for every field.
bool TextContains(std::string_view text, const std::string& loweredKey, const std::locale& locale,
                  std::string& scratch) {
  scratch.clear();
  // Values are vCard text; the search matches what the person sees, so escapes are undone first
  // (only for the few values that hold one).
  std::string unescaped;
  if (text.find('\\') != std::string_view::npos) {
    unescaped = vcard::UnescapeText(text);
    text = unescaped;
  }
  boost::algorithm::to_lower_copy(std::back_inserter(scratch),
                                  boost::make_iterator_range(text.begin(), text.end()), locale);
  return scratch.find(loweredKey) != std::string::npos;
}

bool AnyEntryDataContains(const std::vector<Entry>& entries, const std::string& loweredKey,
                          const std::locale& locale, std::string& scratch) {
  for (const Entry& entry : entries) {
    if (TextContains(entry.data, loweredKey, locale, scratch)) return true;
  }
  return false;
}

}  // namespace

bool Matches(const Record& record, const std::string& searchKey) {
  // The process's global locale decides what lower-casing does; under the default one only
  // A to Z change and every other byte must match exactly.
  const std::locale locale;
  const std::string key = boost::algorithm::to_lower_copy(searchKey, locale);
  std::string scratch;
  return TextContains(record.familyName, key, locale, scratch) ||
         TextContains(record.givenName, key, locale, scratch) ||
         TextContains(record.org, key, locale, scratch) ||
         TextContains(record.title, key, locale, scratch) ||
         AnyEntryDataContains(record.entries[kMailList], key, locale, scratch) ||
         AnyEntryDataContains(record.entries[kTelList], key, locale, scratch);
}

}  // namespace card
