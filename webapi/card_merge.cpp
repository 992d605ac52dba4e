// The edit as a change to the stored card: the record sent back is compared with the record the
// stored card reads as, and only the properties whose fields differ are rewritten, removed or
// added, at the lines the reader took those fields from. Every other line (photos, X- properties,
// parameters, repeats) stays byte for byte.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "card_model.h"
#include "card_record.h"
#include "vcard_line.h"

namespace card {

namespace {

using record::Elements;
using record::Member;
using record::Text;

// Whether the record names `key`: a key left out leaves that part of the card as stored, a key
// sent empty (or null) clears it.
bool Names(const Json::Value& sent, const char* key) {
  return sent.isObject() && sent.isMember(key);
}

// The text the record sends for `key`, or `was` when it leaves the key out.
std::string SentText(const Json::Value& object, const char* key, const std::string& was) {
  return Names(object, key) ? Text(object[key]) : was;
}

// What the edit changes in the stored card.
struct Changes {
  std::map<std::size_t, std::string> replaced;  // line -> new logical line ("" removes it)
  std::vector<std::string> added;               // new lines, written before END
  std::set<std::string> usedGroups;             // lower case, for fresh groups
};

// The stored line `index` taken apart (its logical form outlives the call).
vcard::ContentLine LineAt(const FieldSources& sources, std::size_t index) {
  vcard::ContentLine line;
  vcard::SplitLine(sources.lines[index].logical, line);
  return line;
}

// The head of a rewritten line: group and name as stored, parameters but the types (when
// `newTypes` replaces them) and the encoding and character set of the value that is replaced.
std::string RewrittenHead(const vcard::ContentLine& line, const Json::Value* newTypes) {
  std::string head;
  if (!line.group.empty()) head.append(line.group).append(".");
  head.append(line.name);
  for (const vcard::Parameter& parameter : line.parameters) {
    if (parameter.name.empty()) {
      if (vcard::KindOfBareWord(parameter.value) == vcard::BareWord::kTextEncoding || newTypes)
        continue;  // a bare word is a type
      head.append(";").append(parameter.value);
      continue;
    }
    if (vcard::EqualsNoCase(parameter.name, "ENCODING") ||
        vcard::EqualsNoCase(parameter.name, "CHARSET") ||
        (newTypes && vcard::EqualsNoCase(parameter.name, "TYPE"))) {
      continue;
    }
    head.append(";").append(parameter.name).append("=").append(parameter.value);
  }
  if (newTypes) head += TypeParameters(*newTypes, kEditType);
  return head;
}

// Line `index` with the new value `value` (already vCard text on one line).
void Rewrite(Changes& changes, const FieldSources& sources, std::size_t index,
             const std::string& value, const Json::Value* newTypes = nullptr) {
  changes.replaced[index] = RewrittenHead(LineAt(sources, index), newTypes) + ":" + value;
}

bool Removed(const Changes& changes, std::size_t index) {
  auto found = changes.replaced.find(index);
  return found != changes.replaced.end() && found->second.empty();
}

// The name, and the formatted name when it was the one the old name gave.
void MergeName(const FieldSources& sources, const Json::Value& old, const Json::Value& sent,
               Changes& changes) {
  if (!Names(sent, "name")) return;
  const Json::Value& oldName = old["name"];
  const Json::Value& newName = Member(sent, "name");
  const char* const kKeys[] = {"family_name", "given_name", "additional_name"};
  std::string sentParts[3];
  bool changed = false;
  for (std::size_t i = 0; i < 3; ++i) {
    // A name object without a component keeps it (a null name clears all three).
    sentParts[i] = newName.isNull() ? "" : SentText(newName, kKeys[i], Text(oldName[kKeys[i]]));
    changed = changed || Text(oldName[kKeys[i]]) != sentParts[i];
  }
  if (!changed) return;

  // All components of the stored N: a prefix and a suffix stay.
  std::vector<std::string> components(5);
  auto n = sources.singles.find("N");
  std::string decoded;
  if (n != sources.singles.end()) {
    const vcard::ContentLine line = LineAt(sources, n->second);
    const std::vector<std::string_view> parts =
        vcard::SplitUnescaped(vcard::DecodedValue(line, decoded), ';');
    if (parts.size() > components.size()) components.resize(parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) components[i] = std::string(parts[i]);
  }
  const std::string oldShown = FormattedName(components);
  const std::string oldNewCardForm = vcard::UnescapeText(NewCardFormattedName(
      Text(oldName["family_name"]), Text(oldName["given_name"]), Text(oldName["additional_name"])));
  for (std::size_t i = 0; i < 3; ++i) components[i] = vcard::JoinLineBreaks(sentParts[i]);
  std::string value;
  for (std::size_t i = 0; i < components.size(); ++i) value += (i ? ";" : "") + components[i];
  if (n != sources.singles.end()) {
    Rewrite(changes, sources, n->second, value);
  } else {
    changes.added.push_back("N:" + value);
  }

  const std::string newShown = vcard::EscapeText(FormattedName(components));
  if (sources.formattedName == sources.lines.size()) {
    changes.added.push_back("FN:" + newShown);
    return;
  }
  // A formatted name of the person's own making stays.
  const vcard::ContentLine line = LineAt(sources, sources.formattedName);
  const std::string fn = vcard::UnescapeText(vcard::DecodedValue(line, decoded));
  if (fn.empty() || fn == oldShown || fn == oldNewCardForm) {
    Rewrite(changes, sources, sources.formattedName, newShown);
  }
}

// Organisation, title, note and birthday: one property each.
void MergeSingles(const FieldSources& sources, const Json::Value& old, const Json::Value& sent,
                  Changes& changes) {
  const Json::Value& company = Member(sent, "company");
  const std::string org = Text(old["company"]["org"]);
  const std::string title = Text(old["company"]["title"]);
  const bool companySent = Names(sent, "company");
  const bool companyCleared = companySent && company.isNull();
  const struct {
    const char* property;
    std::string was;
    std::string now;
  } kSingles[] = {
      {"ORG", org,
       !companySent     ? org
       : companyCleared ? ""
                        : SentText(company, "org", org)},
      {"TITLE", title,
       !companySent     ? title
       : companyCleared ? ""
                        : SentText(company, "title", title)},
      {"NOTE", Text(old["note"]), SentText(sent, "note", Text(old["note"]))},
      {"BDAY", Text(old["bday"]), SentText(sent, "bday", Text(old["bday"]))},
  };
  for (const auto& single : kSingles) {
    if (single.was == single.now) continue;
    // Only a note holds line breaks (as the escape); any other value stays on one line.
    const std::string value = std::string(single.property) == "NOTE"
                                  ? vcard::EscapeLineBreaks(single.now)
                                  : vcard::JoinLineBreaks(single.now);
    auto found = sources.singles.find(single.property);
    if (found == sources.singles.end()) {
      changes.added.push_back(std::string(single.property) + ":" + value);
    } else if (single.now.empty()) {
      changes.replaced[found->second] = "";
    } else {
      Rewrite(changes, sources, found->second, value);
    }
  }
}

// The label line of a stored entry's group says `label`; an ungrouped entry gets a group of its
// own to carry it.
void Relabel(const FieldSources& sources, std::size_t index, const std::string& label,
             Changes& changes) {
  const vcard::ContentLine line = LineAt(sources, index);
  const std::string written = vcard::JoinLineBreaks(label);
  if (line.group.empty()) {
    const std::string fresh = FreshGroup(changes.usedGroups);
    auto rewritten = changes.replaced.find(index);
    const std::string current =
        rewritten != changes.replaced.end() ? rewritten->second : sources.lines[index].logical;
    if (!current.empty()) changes.replaced[index] = fresh + "." + current;
    changes.added.push_back(fresh + ".X-ABLabel:" + written);
    return;
  }
  const std::string labelLine = std::string(line.group) + ".X-ABLabel:" + written;
  auto existing = sources.labels.find(vcard::LowerCase(line.group));
  if (existing != sources.labels.end()) {
    changes.replaced[existing->second] = labelLine;
  } else {
    changes.added.push_back(labelLine);
  }
}

// A stored entry the record changed: its value and types, and its label.
void ChangeEntry(const FieldSources& sources, std::size_t index, const EntryKind& kind,
                 const Json::Value& was, const Json::Value& now, Changes& changes) {
  const bool typesChanged = Elements(was["type"]) != Elements(Member(now, "type"));
  const std::string data = Text(Member(now, "data"));
  if (Text(was["data"]) != data || typesChanged) {
    if (!HasData(kind, vcard::JoinLineBreaks(data))) {
      changes.replaced[index] = "";
    } else {
      Rewrite(changes, sources, index, vcard::JoinLineBreaks(data),
              typesChanged ? &Member(now, "type") : nullptr);
    }
  }
  const Json::Value& label = Member(now, "cust_name");
  if (label.isString() && label != was["cust_name"] && label.asString() != kind.property) {
    Relabel(sources, index, label.asString(), changes);
  }
}

// A removed entry takes its label line along when nothing else of its group remains.
void RemoveEntry(const FieldSources& sources, std::size_t index, Changes& changes) {
  changes.replaced[index] = "";
  const std::string group = vcard::LowerCase(LineAt(sources, index).group);
  auto label = sources.labels.find(group);
  if (group.empty() || label == sources.labels.end()) return;
  for (std::size_t other : sources.groups.at(group)) {
    if (other != label->second && !Removed(changes, other)) return;
  }
  changes.replaced[label->second] = "";
}

// A new entry, with a group of its own when its label is the user's own.
void AddEntry(const EntryKind& kind, const Json::Value& entry, Changes& changes) {
  const std::string data = vcard::JoinLineBreaks(Text(Member(entry, "data")));
  if (!HasData(kind, data)) return;
  std::string head = kind.property;
  const Json::Value& label = Member(entry, "cust_name");
  std::string group;
  if (label.isString() && !label.asString().empty() && label.asString() != kind.property) {
    group = FreshGroup(changes.usedGroups);
    head = group + "." + head;
  }
  head += TypeParameters(Member(entry, "type"), kEditType);
  changes.added.push_back(head + ":" +
                          (std::string(kind.property) == "ADR" ? AddressValue(data) : data));
  if (!group.empty()) {
    changes.added.push_back(group + ".X-ABLabel:" + vcard::JoinLineBreaks(label.asString()));
  }
}

// Entries, matched by their place among the entries of their kind.
void MergeEntries(const FieldSources& sources, const Json::Value& old, const Json::Value& sent,
                  Changes& changes) {
  for (const EntryKind& kind : kEntryKinds) {
    if (!Names(sent, kind.list)) continue;
    const Json::Value& was = Elements(old[kind.list]);
    const Json::Value& now = Elements(Member(sent, kind.list));
    const std::vector<std::size_t>& where = sources.entries[&kind - kEntryKinds];
    for (Json::ArrayIndex i = 0; i < was.size() || i < now.size(); ++i) {
      if (i < was.size() && i < now.size()) {
        ChangeEntry(sources, where[i], kind, was[i], now[i], changes);
      } else if (i < was.size()) {
        RemoveEntry(sources, where[i], changes);
      } else {
        AddEntry(kind, now[i], changes);
      }
    }
  }
}

// The lines `where` replaced by the one line `line` at the first of them ("" removes them all);
// added before END when there are none.
void ReplaceLines(const std::vector<std::size_t>& where, const std::string& line,
                  Changes& changes) {
  if (where.empty()) {
    if (!line.empty()) changes.added.push_back(line);
    return;
  }
  changes.replaced[where.front()] = line;
  for (std::size_t i = 1; i < where.size(); ++i) changes.replaced[where[i]] = "";
}

// The card's groups: every CATEGORIES line replaced by one holding the values sent (vCard text,
// escaped as the caller stores it), none for an empty list. Unchanged groups write nothing.
void MergeCategories(const FieldSources& sources, const Json::Value& sent, Changes& changes) {
  if (!Names(sent, "categories")) return;
  std::vector<std::string> now;
  for (const Json::Value& value : Elements(sent["categories"])) {
    const std::string text = vcard::JoinLineBreaks(Text(value));
    if (!text.empty()) now.push_back(text);
  }
  std::vector<std::string> was;
  std::string decoded;
  for (std::size_t index : sources.categories) {
    for (std::string& value : CategoryValues(vcard::DecodedValue(LineAt(sources, index), decoded)))
      was.push_back(std::move(value));
  }
  if (now == was && sources.categories.size() <= 1) return;
  std::string line;
  for (const std::string& value : now) line += (line.empty() ? "CATEGORIES:" : ",") + value;
  ReplaceLines(sources.categories, line, changes);
}

// The card's photo: the base64 of a JPEG replaces every PHOTO line, "" removes them.
void MergePhoto(const FieldSources& sources, const Json::Value& sent, Changes& changes) {
  if (!Names(sent, "photo") || sent["photo"].isBool()) return;  // the listing's flag sent back
  const std::string data = Text(sent["photo"]);
  if (data.empty() && sources.photos.empty()) return;
  ReplaceLines(sources.photos, data.empty() ? "" : "PHOTO;ENCODING=b;TYPE=JPEG:" + data, changes);
}

// The stored text with the changes made.
std::string Written(const std::string& stored, const FieldSources& sources,
                    const Changes& changes) {
  std::string text;
  text.reserve(stored.size() + 256);
  std::string_view lastKept;  // the stored line written last
  // New lines start on a line of their own, never as the continuation of a stored
  // quoted-printable value that ends in a soft break (a blank line ends that).
  auto startLine = [&text, &lastKept]() {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    if (vcard::EndsInSoftBreak(lastKept)) text += "\r\n";
    lastKept = {};
  };
  auto writeAdded = [&]() {
    if (changes.added.empty()) return;
    startLine();
    for (const std::string& line : changes.added) vcard::AppendFolded(text, line);
  };
  for (std::size_t i = 0; i < sources.lines.size(); ++i) {
    if (i == sources.end) writeAdded();
    auto change = changes.replaced.find(i);
    if (change == changes.replaced.end()) {
      text.append(sources.lines[i].raw.data(), sources.lines[i].raw.size());
      lastKept = sources.lines[i].logical;
    } else if (!change->second.empty()) {
      startLine();
      vcard::AppendFolded(text, change->second);
    }
  }
  if (sources.end == sources.lines.size() && !changes.added.empty()) {
    writeAdded();
    text += "END:VCARD\r\n";
  }
  text.append(sources.tail.data(), sources.tail.size());
  return text;
}

}  // namespace

bool MergeEdit(const std::string& stored, const Json::Value& sent, std::string& text) {
  FieldSources sources;
  const Json::Value old = ReadRecord(stored, &sources);
  if (!sent.isObject()) return false;
  Changes changes;
  for (const auto& [group, lines] : sources.groups) changes.usedGroups.insert(group);
  MergeName(sources, old, sent, changes);
  MergeSingles(sources, old, sent, changes);
  MergeEntries(sources, old, sent, changes);
  MergeCategories(sources, sent, changes);
  MergePhoto(sources, sent, changes);
  text = changes.replaced.empty() && changes.added.empty() ? stored
                                                           : Written(stored, sources, changes);
  return true;
}

}  // namespace card
