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

void AppendLine(std::string& other, std::string_view line) {
  other.append(line.data(), line.size());
  other += "\r\n";
}

void ReadName(std::string_view value, Record& record) {
  std::string* const components[] = {&record.familyName, &record.givenName, &record.additionalName};
  const std::vector<std::string_view> parts = vcard::SplitUnescaped(value, ';');
  for (std::size_t i = 0; i < 3; ++i) {
    if (i < parts.size()) {
      components[i]->assign(parts[i]);
    } else {
      components[i]->clear();
    }
  }
}

// The labels a card defines, by group as written; a later label line of a group wins.
class Labels {
 public:
  void Set(std::string_view group, std::string_view label) {
    labels_.emplace_back(std::string(group), std::string(ShownLabel(label)));
  }
  const std::string* Of(const std::string& group) const {
    for (auto it = labels_.rbegin(); it != labels_.rend(); ++it) {
      if (it->first == group) return &it->second;
    }
    return nullptr;
  }

 private:
  std::vector<std::pair<std::string, std::string>> labels_;
};

// A phone, e-mail, address or web address line as an entry of its list; none for an empty value.
void ReadEntry(const vcard::ContentLine& line, const EntryKind& kind, std::string& decoded,
               Record& record) {
  const std::string_view data = vcard::DecodedValue(line, decoded);
  if (data.empty()) return;
  Entry& entry = record.entries[&kind - kEntryKinds].emplace_back();
  // The property name as written, group included: the text before the parameters.
  entry.key.assign(line.head.substr(
      0, static_cast<std::size_t>(line.name.data() + line.name.size() - line.head.data())));
  entry.group.assign(line.group);
  // A grouped entry's label is filled in once the whole card is read.
  if (line.group.empty()) entry.label = kind.property;
  thread_local std::vector<std::string_view> types;
  vcard::Types(line, types);
  entry.types.assign(types.begin(), types.end());
  entry.data.assign(data);
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

}  // namespace

void Read(std::string_view text, bool lean, Record& record, FieldSources* sources) {
  record.Clear();
  record.lean = lean;
  // The lines kept whole take about as much room as the text.
  record.other.reserve(text.size());
  bool seen[std::size(kSingles)] = {};
  Labels labels;
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
      AppendLine(record.other, logical);
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
        for (std::string& value : CategoryValues(vcard::DecodedValue(line, decoded)))
          record.categories.push_back(std::move(value));
      }
    }
    if (sources && NameIs(line, "PHOTO")) sources->photos.push_back(index);
    if (lean && IsBinaryProperty(line) && HoldsInlineData(line)) {
      record.photo = record.photo || NameIs(line, "PHOTO");
      continue;
    }
    // The formatted name is made from the name fields when the record is written back.
    if (NameIs(line, "FN")) {
      if (sources && sources->formattedName == kNone) sources->formattedName = index;
      continue;
    }
    if (const EntryKind* kind = EntryKindNamed(line.name)) {
      const std::size_t before = record.entries[kind - kEntryKinds].size();
      ReadEntry(line, *kind, decoded, record);
      if (sources && record.entries[kind - kEntryKinds].size() > before)
        sources->entries[kind - kEntryKinds].push_back(index);
      continue;
    }
    // The first of each single-valued property fills the record; a repeat stays in `other`.
    std::size_t single = 0;
    while (single < std::size(kSingles) && !NameIs(line, kSingles[single])) ++single;
    if (single == std::size(kSingles) || seen[single]) {
      AppendLine(record.other, logical);
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
        record.note.assign(value);
        break;
      case 2:
        record.org.assign(WithoutTrailingSeparator(value));
        break;
      case 3:
        record.title.assign(value);
        break;
      default:
        record.bday.assign(value);
        record.hasBday = true;
        break;
    }
  }
  if (sources) {
    sources->tail = text.substr(start);
    if (sources->end == kNone) sources->end = sources->lines.size();
    if (sources->formattedName == kNone) sources->formattedName = sources->lines.size();
  }
  for (std::vector<Entry>& entries : record.entries) {
    for (Entry& entry : entries) {
      if (entry.group.empty()) continue;
      const std::string* label = labels.Of(entry.group);
      entry.labelled = label != nullptr;
      if (label) entry.label = *label;
    }
  }
}

void Record::Clear() {
  familyName.clear();
  givenName.clear();
  additionalName.clear();
  org.clear();
  title.clear();
  note.clear();
  bday.clear();
  hasBday = false;
  for (std::vector<Entry>& list : entries) list.clear();
  other.clear();
  lean = false;
  photo = false;
  categories.clear();
}

Json::Value ReadRecord(std::string_view text, FieldSources* sources) {
  Record record;
  Read(text, false, record, sources);
  return ToJson(record);
}

Json::Value ReadLeanRecord(std::string_view text) {
  Record record;
  Read(text, true, record, nullptr);
  return ToJson(record);
}

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
