// vCard reading: turns the stored text of one contact into the card record the browser shows.
// Lines come from the line layer (unfolded, soft breaks joined); the properties the record models
// are recognised by name in any case, with any group and parameters, and every other line is kept
// whole in `other`. Values stay vCard text as stored: escapes are not undone.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "card_model.h"
#include "vcard_line.h"

namespace card {

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
const Json::StaticString kPhoto("photo");
const Json::StaticString kCategories("categories");
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
  const std::string_view before = value.substr(0, value.size() - 1);
  return vcard::EndsInEscape(before) ? value : before;
}

const Json::StaticString* ListOf(const EntryKind& kind) {
  static const Json::StaticString* const kLists[] = {&kMail, &kTel, &kAdr, &kUrl};
  return kLists[&kind - kEntryKinds];
}

void AppendLine(std::string& other, std::string_view line) {
  other.append(line.data(), line.size());
  other += "\r\n";
}

void SetEmpty(Json::Value& record) {
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

void ReadName(std::string_view value, Json::Value& record) {
  const Json::StaticString* const kComponents[] = {&kFamilyName, &kGivenName, &kAdditionalName};
  const std::vector<std::string_view> components = vcard::SplitUnescaped(value, ';');
  Json::Value& name = record[kName];
  for (std::size_t i = 0; i < 3; ++i) {
    name[*kComponents[i]] = i < components.size() ? TextValue(components[i]) : kEmptyText;
  }
}

// An entry whose label comes from its group's X-ABLabel line, which may follow it.
struct GroupedEntry {
  Json::Value* entry;
  std::string group;
};

// The labels a card defines, by group as written; a later label line of a group wins.
class Labels {
 public:
  void Set(std::string_view group, std::string_view label) {
    labels_.emplace_back(std::string(group), std::string(ShownLabel(label)));
  }
  Json::Value Of(const std::string& group) const {
    for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) {
      if (it->first == group) return TextValue(it->second);
    }
    return Json::Value();
  }

 private:
  std::vector<std::pair<std::string, std::string>> labels_;
};

// A phone, e-mail, address or web address line as an entry of its list; none for an empty value.
Json::Value* ReadEntry(const vcard::ContentLine& line, const EntryKind& kind, Json::Value& record) {
  std::string decoded;
  const std::string_view data = vcard::DecodedValue(line, decoded);
  if (data.empty()) return nullptr;
  Json::Value entry(Json::objectValue);
  // The property name as written, group included: the text before the parameters.
  const std::string_view key = line.head.substr(
      0, static_cast<std::size_t>(line.name.data() + line.name.size() - line.head.data()));
  entry[kKey] = WordValue(key);
  // A grouped entry's label is filled in once the whole card is read.
  entry[kCustName] =
      line.group.empty() ? Json::Value(Json::StaticString(kind.property)) : Json::Value();
  thread_local std::vector<std::string_view> types;
  vcard::Types(line, types);
  if (!types.empty()) {
    Json::Value& list = entry[kType] = Json::Value(Json::arrayValue);
    for (std::string_view type : types) list.append(WordValue(type));
  }
  entry[kData] = TextValue(data);
  return &record[*ListOf(kind)].append(std::move(entry));
}

// A group as groups compare: without regard to case.
std::string GroupKey(std::string_view group) {
  std::string key(group);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

const char* const kSingles[] = {"N", "NOTE", "ORG", "TITLE", "BDAY"};

// Notes where a line of the card body went, for the edit.
void NoteSource(FieldSources& sources, const vcard::ContentLine& line, std::size_t index) {
  if (line.group.empty()) return;
  const std::string group = GroupKey(line.group);
  sources.groups[group].push_back(index);
  if (NameIs(line, "X-ABLabel")) sources.labels[group] = index;
}

// The properties whose data version 2 of the listing leaves out of `other` when it is inline.
bool IsBinaryProperty(const vcard::ContentLine& line) {
  for (const char* name : {"PHOTO", "LOGO", "SOUND", "KEY"}) {
    if (NameIs(line, name)) return true;
  }
  return false;
}

Json::Value Read(std::string_view text, FieldSources* sources, bool lean) {
  Json::Value record(Json::objectValue);
  SetEmpty(record);
  std::string other;
  // The lines kept whole take about as much room as the text: one allocation.
  other.reserve(text.size());
  bool seen[std::size(kSingles)] = {};
  Labels labels;
  std::vector<GroupedEntry> grouped;
  bool ended = false;
  vcard::LineReader reader(text);
  vcard::ContentLine line;
  std::string decoded;
  std::string_view logical;
  constexpr std::size_t kNone = std::string_view::npos;
  if (sources) {
    *sources = FieldSources();
    sources->end = sources->formattedName = kNone;
  }
  bool photo = false;
  Json::Value categories(Json::arrayValue);
  std::size_t start = reader.Offset();
  while (reader.Next(logical)) {
    const std::size_t index = sources ? sources->lines.size() : 0;
    if (sources) {
      sources->lines.push_back({text.substr(start, reader.Offset() - start), std::string(logical)});
      start = reader.Offset();
    }
    const bool property = vcard::SplitLine(logical, line);
    // Only X-ABLabel names a group: X-ABADR holds an address's country code, not its label. A
    // card's labels are its own, wherever in its text they stand.
    if (property && !line.group.empty() && NameIs(line, "X-ABLabel"))
      labels.Set(line.group, line.value);
    if (ended) continue;
    if (!property) {
      AppendLine(other, logical);
      continue;
    }
    if (NameIs(line, "END")) {
      ended = true;
      if (sources) sources->end = index;
      continue;
    }
    if (sources) NoteSource(*sources, line, index);
    if (NameIs(line, "CATEGORIES")) {
      if (sources) sources->categories.push_back(index);
      if (lean) {
        for (const std::string& value : CategoryValues(vcard::DecodedValue(line, decoded)))
          categories.append(value);
      }
    }
    if (sources && NameIs(line, "PHOTO")) sources->photos.push_back(index);
    if (lean && IsBinaryProperty(line) && HoldsInlineData(line)) {
      photo = photo || NameIs(line, "PHOTO");
      continue;
    }
    // The formatted name is made from the name fields when the record is written back.
    if (NameIs(line, "FN")) {
      if (sources && sources->formattedName == kNone) sources->formattedName = index;
      continue;
    }
    if (const EntryKind* kind = EntryKindNamed(line.name)) {
      Json::Value* entry = ReadEntry(line, *kind, record);
      if (entry && !line.group.empty()) grouped.push_back({entry, std::string(line.group)});
      if (entry && sources) sources->entries[kind - kEntryKinds].push_back(index);
      continue;
    }
    // The first of each single-valued property fills the record; a repeat stays in `other`.
    std::size_t single = 0;
    while (single < std::size(kSingles) && !NameIs(line, kSingles[single])) ++single;
    if (single == std::size(kSingles) || seen[single]) {
      AppendLine(other, logical);
      continue;
    }
    seen[single] = true;
    if (sources) sources->singles[kSingles[single]] = index;
    const std::string_view value = vcard::DecodedValue(line, decoded);
    switch (single) {
      case 0:
        ReadName(value, record);
        break;
      case 1:
        record[kNote] = TextValue(value);
        break;
      case 2:
        record[kCompany][kOrg] = TextValue(WithoutTrailingSeparator(value));
        break;
      case 3:
        record[kCompany][kTitle] = TextValue(value);
        break;
      default:
        record[kBday] = TextValue(value);
        break;
    }
  }
  if (sources) {
    sources->tail = text.substr(start);
    if (sources->end == kNone) sources->end = sources->lines.size();
    if (sources->formattedName == kNone) sources->formattedName = sources->lines.size();
  }
  for (const GroupedEntry& entry : grouped) (*entry.entry)[kCustName] = labels.Of(entry.group);
  record[kOther] = std::move(other);
  if (lean) {
    record[kPhoto] = photo;
    record[kCategories] = std::move(categories);
  }
  return record;
}

}  // namespace

Json::Value ReadRecord(std::string_view text, FieldSources* sources) {
  return Read(text, sources, false);
}

Json::Value ReadLeanRecord(std::string_view text) { return Read(text, nullptr, true); }

bool HoldsInlineData(const vcard::ContentLine& line) {
  if (vcard::IsBase64(line)) return true;
  const std::size_t start = std::min(line.value.find_first_not_of(" \t"), line.value.size());
  return vcard::EqualsNoCase(line.value.substr(start, 5), "data:");
}

std::vector<std::string> CategoryValues(std::string_view value) {
  std::vector<std::string> values;
  for (std::string_view part : vcard::SplitUnescaped(value, ',')) {
    if (!part.empty()) values.emplace_back(part);
  }
  return values;
}

}  // namespace card
