// vCard reading: turns the stored text of one contact into the card record the browser shows.
// Lines come from the line layer (unfolded, soft breaks joined); the properties the record models
// are recognised by name in any case, with any group and parameters, and every other line is kept
// whole in `other`. Values stay vCard text as stored: escapes are not undone.
#include <string>
#include <string_view>

#include "contact_and_calendar_handler.h"
#include "vcard_line.h"

namespace {

// Keys and fixed texts as static strings: JsonCpp neither copies nor frees those, which spares
// a good part of the allocations of a record when thousands of cards are listed.
const Json::StaticString kKey("key");
const Json::StaticString kCustName("cust_name");
const Json::StaticString kData("data");
const Json::StaticString kType("type");
const Json::StaticString kFamilyName("family_name");
const Json::StaticString kGivenName("given_name");
const Json::StaticString kAdditionalName("additional_name");
const Json::StaticString kName("name");
const Json::StaticString kOrg("org");
const Json::StaticString kTitle("title");
const Json::StaticString kCompany("company");
const Json::StaticString kTel("tel");
const Json::StaticString kMail("mail");
const Json::StaticString kNote("note");
const Json::StaticString kBday("bday");
const Json::StaticString kAdr("adr");
const Json::StaticString kUrl("url");
const Json::StaticString kOther("other");
const Json::StaticString kEmptyText("");

// Type words and property names that nearly every card repeats. Held as static strings they
// cost a listing of thousands of cards no allocation per use; any other text is copied.
const char* const kCommonWords[] = {
    "pref",  "PREF",  "HOME",   "WORK", "CELL",     "VOICE", "FAX",  "INTERNET", "MAIN",
    "OTHER", "PAGER", "IPHONE", "TEXT", "MSG",      "home",  "work", "cell",     "voice",
    "fax",   "TEL",   "EMAIL",  "ADR",  "URL",      "x400",  "X400", "POSTAL",   "PARCEL",
    "DOM",   "INTL",  "CAR",    "ISDN", "internet", "VIDEO", "BBS",  "MODEM",    "PCS"};

// `text` as a value: "" without a copy. For values that are seldom one of the common words.
Json::Value TextValue(std::string_view text) {
  return text.empty() ? Json::Value(kEmptyText)
                      : Json::Value(text.data(), text.data() + text.size());
}

// `text` as a value: "" and the common words without a copy.
Json::Value WordValue(std::string_view text) {
  if (text.empty()) return Json::Value(kEmptyText);
  for (const char* word : kCommonWords) {
    if (text == word) return Json::Value(Json::StaticString(word));
  }
  return TextValue(text);
}

using vcard::NameIs;

// The label a label value shows: address books write their own as _$!<Home>!$_, a person's
// stands plain.
std::string_view ShownLabel(std::string_view label) {
  const std::size_t close = label.find('>');
  if (close != std::string_view::npos) label = label.substr(0, close);
  const std::size_t open = label.find('<');
  if (open != std::string_view::npos) label = label.substr(open + 1);
  return label;
}

// An ORG value without one trailing separator (an empty unit); an escaped ';' is data and stays.
std::string_view WithoutTrailingSeparator(std::string_view value) {
  if (value.empty() || value.back() != ';') return value;
  std::size_t backslashes = 0;
  for (std::size_t i = value.size() - 1; i > 0 && value[i - 1] == '\\'; --i) ++backslashes;
  return backslashes % 2 == 0 ? value.substr(0, value.size() - 1) : value;
}

// The four kinds of entry, by property name.
struct EntryKind {
  const char* property;
  const Json::StaticString* target;
};
const EntryKind kEntryKinds[] = {{"TEL", &kTel}, {"EMAIL", &kMail}, {"ADR", &kAdr}, {"URL", &kUrl}};

const EntryKind* EntryKindOf(const vcard::ContentLine& line) {
  for (const EntryKind& kind : kEntryKinds) {
    if (NameIs(line, kind.property)) return &kind;
  }
  return nullptr;
}

void AppendLine(std::string& other, std::string_view line) {
  other.append(line.data(), line.size());
  other += "\r\n";
}

}  // namespace

void ContactAndCalendarHandler::setEmptyInfo(Json::Value& record) {
  Json::Value name(Json::objectValue);
  name[kFamilyName] = kEmptyText;
  name[kGivenName] = kEmptyText;
  name[kAdditionalName] = kEmptyText;
  record[kName] = std::move(name);
  Json::Value company(Json::objectValue);
  company[kOrg] = kEmptyText;
  company[kTitle] = kEmptyText;
  record[kCompany] = std::move(company);
  record[kTel] = Json::Value(Json::arrayValue);
  record[kMail] = Json::Value(Json::arrayValue);
  record[kNote] = kEmptyText;
}

void ContactAndCalendarHandler::ParseCardLabel(char* cardText) {
  if (!cardText) return;
  vcard::LineReader reader(cardText);
  vcard::ContentLine line;
  std::string_view text;
  while (reader.Next(text)) {
    // Only X-ABLabel names a group: X-ABADR holds an address's country code, not its label.
    if (!vcard::SplitLine(text, line) || line.group.empty() || !NameIs(line, "X-ABLabel")) continue;
    _labelMap[std::string(line.group)] = TextValue(ShownLabel(line.value));
  }
}

void ContactAndCalendarHandler::ParseCardText(char* cardText, Json::Value& record) {
  setEmptyInfo(record);
  std::string other;
  const std::string_view text = cardText ? std::string_view(cardText) : std::string_view();
  // The lines kept whole take about as much room as the text: one allocation.
  other.reserve(text.size());
  bool haveName = false, haveNote = false, haveOrg = false, haveTitle = false, haveBday = false;
  vcard::LineReader reader(text);
  vcard::ContentLine line;
  std::string decoded;
  std::string_view logical;
  while (reader.Next(logical)) {
    if (!vcard::SplitLine(logical, line)) {
      AppendLine(other, logical);
      continue;
    }
    if (NameIs(line, "END")) break;
    // The formatted name is made from the name fields when the record is written back.
    if (NameIs(line, "FN")) continue;
    if (const EntryKind* kind = EntryKindOf(line)) {
      ParseInfoEntry(line, *kind->target, kind->property, record);
      continue;
    }
    // The first of each single-valued property fills the record; a repeat stays in `other`.
    bool* seen = NameIs(line, "N")       ? &haveName
                 : NameIs(line, "NOTE")  ? &haveNote
                 : NameIs(line, "ORG")   ? &haveOrg
                 : NameIs(line, "TITLE") ? &haveTitle
                 : NameIs(line, "BDAY")  ? &haveBday
                                         : nullptr;
    if (!seen || *seen) {
      AppendLine(other, logical);
      continue;
    }
    *seen = true;
    const std::string_view value = vcard::DecodedValue(line, decoded);
    if (seen == &haveName) {
      ParseInfoName(value, record);
    } else if (seen == &haveNote) {
      record[kNote] = TextValue(value);
    } else if (seen == &haveOrg) {
      record[kCompany][kOrg] = TextValue(WithoutTrailingSeparator(value));
    } else if (seen == &haveTitle) {
      record[kCompany][kTitle] = TextValue(value);
    } else {
      record[kBday] = TextValue(value);
    }
  }
  record[kOther] = std::move(other);
}

void ContactAndCalendarHandler::ParseInfoName(std::string_view value, Json::Value& record) {
  const Json::StaticString* const kComponents[] = {&kFamilyName, &kGivenName, &kAdditionalName};
  const std::vector<std::string_view> components = vcard::SplitUnescaped(value, ';');
  Json::Value& name = record[kName];
  for (std::size_t i = 0; i < 3; ++i) {
    name[*kComponents[i]] = i < components.size() ? TextValue(components[i]) : kEmptyText;
  }
}

void ContactAndCalendarHandler::ParseInfoEntry(const vcard::ContentLine& line,
                                               const Json::StaticString& target,
                                               const char* fixedLabel, Json::Value& record) {
  std::string decoded;
  const std::string_view data = vcard::DecodedValue(line, decoded);
  if (data.empty()) return;
  Json::Value entry(Json::objectValue);
  // The property name as written, group included: the text before the parameters.
  const std::string_view key = line.head.substr(
      0, static_cast<std::size_t>(line.name.data() + line.name.size() - line.head.data()));
  entry[kKey] = WordValue(key);
  entry[kCustName] = line.group.empty() ? Json::Value(Json::StaticString(fixedLabel))
                                        : _labelMap.get(std::string(line.group), Json::Value());
  thread_local std::vector<std::string_view> types;
  vcard::Types(line, types);
  if (!types.empty()) {
    Json::Value& list = entry[kType] = Json::Value(Json::arrayValue);
    for (std::string_view type : types) list.append(WordValue(type));
  }
  entry[kData] = TextValue(data);
  record[target].append(std::move(entry));
}
