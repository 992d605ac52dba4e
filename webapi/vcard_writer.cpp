// vCard writing: the vCard 3.0 text of a card record, for add and edit; and the leading-space
// trimming that the import shares. A record taken from the listing and sent back must store a
// card that lists as the same record, so every value is written in the form the reader reads back.
#include <map>
#include <set>
#include <string>

#include "card_record.h"
#include "contact_and_calendar_handler.h"
#include "vcard_line.h"

namespace {

using record::Elements;
using record::Member;
using record::Text;

const char kLineEnd[] = "\r\n";
const char kFreshHeader[] = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODUCTID:-//Orvanta//Veyra//EN\r\n";
const char kLabelProperty[] = ".X-ABLabel:";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string OneLine(const std::string& value) { return vcard::JoinLineBreaks(value); }

// A line of a multi-line note that holds a colon would otherwise become a property; each line
// break (CR LF, CR or LF) is written as the vCard escape backslash n.
std::string EscapedNote(const std::string& note) { return vcard::EscapeLineBreaks(note); }

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

bool IsName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

// The lines of `text`, split as the reader splits them: at every run of CR and LF.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) visit(text.substr(start, end - start));
    start = text.find_first_not_of("\r\n", end);
    if (start == std::string::npos) break;
  }
}

// The label the listing shows for a label value: cut at the first '>', then only what follows
// the first '<' (the bracketed form of the standard labels).
std::string ShownLabel(std::string label) {
  std::size_t gt = label.find('>');
  if (gt != std::string::npos) label.erase(gt);
  std::size_t lt = label.find('<');
  if (lt != std::string::npos) label.erase(0, lt + 1);
  return label;
}

// The group of a label line as the listing attributes it, "" when `line` is none.
std::string LabelLineGroup(const std::string& line, std::string* label) {
  if (line.find(".X-ABLabel:") == std::string::npos && line.find(".X-ABADR:") == std::string::npos)
    return "";
  std::size_t colon = line.find(':');
  std::size_t dot = line.find('.');
  if (colon == std::string::npos || dot == std::string::npos) return "";
  if (label) *label = ShownLabel(line.substr(colon + 1));
  return line.substr(0, dot);
}

// What the edit keeps of the stored card's unmapped lines: the groups they use (a new group must
// not join one of them) and the label each group shows in the listing.
struct StoredGroups {
  std::set<std::string> used;  // lower case: group names compare without regard to case
  std::map<std::string, std::string> shownLabels;
};

StoredGroups ScanGroups(const std::string& other) {
  StoredGroups groups;
  ForEachLine(other, [&groups](const std::string& line) {
    std::string name = line.substr(0, line.find_first_of(":;"));
    std::size_t dot = name.find('.');
    if (dot != std::string::npos) groups.used.insert(Lower(name.substr(0, dot)));
    std::string label;
    std::string group = LabelLineGroup(line, &label);
    if (!group.empty()) groups.shownLabels[group] = label;
  });
  return groups;
}

// One of the four kinds of entry: the property name, which is also the fixed label, and whether
// the listing takes a line of that kind apart only when a ';' follows the name.
struct EntryKind {
  const char* record_key;
  const char* property;
  bool needs_parameter;
};

const EntryKind kEntryKinds[] = {
    {"mail", "EMAIL", true},
    {"tel", "TEL", true},
    {"adr", "ADR", true},
    {"url", "URL", false},
};

// The property name an entry is written under: its `key` when that is a well-formed name (with
// at most one group) of the entry's own kind, else the bare name. A key naming another property
// (UID, VERSION, N, PHOTO) would write that property and could give a card a second UID.
struct WrittenName {
  std::string group;
  std::string name;
};

WrittenName NameOf(const std::string& key, const EntryKind& kind) {
  WrittenName written{"", kind.property};
  std::string group;
  std::string name = key;
  std::size_t dot = key.find('.');
  if (dot != std::string::npos) {
    group = key.substr(0, dot);
    name = key.substr(dot + 1);
    if (!IsName(group)) return written;
  }
  if (!IsName(name) || Lower(name) != Lower(kind.property)) return written;
  return WrittenName{group, name};
}

std::string FreshGroup(std::set<std::string>& used) {
  for (unsigned n = 1;; ++n) {
    std::string group = "item" + std::to_string(n);
    if (used.insert(group).second) return group;
  }
}

// The entry lines of the card and what they change in the stored card's unmapped lines.
struct EntryLines {
  std::string text;
  std::set<std::string> relabeled;  // groups whose old label lines give way to a new one
};

EntryLines WriteEntries(const Json::Value& card, bool fresh, StoredGroups& groups,
                        ContactAndCalendarHandler& handler) {
  EntryLines lines;
  // Groups named by the record's own keys are taken too.
  for (const EntryKind& kind : kEntryKinds) {
    const Json::Value& entries = Elements(Member(card, kind.record_key));
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      WrittenName written = NameOf(Text(Member(entries[i], "key")), kind);
      if (!written.group.empty()) groups.used.insert(Lower(written.group));
    }
  }

  for (const EntryKind& kind : kEntryKinds) {
    const Json::Value& entries = Elements(Member(card, kind.record_key));
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      const Json::Value& entry = entries[i];
      WrittenName written = NameOf(Text(Member(entry, "key")), kind);

      // A label other than the fixed word is the user's own: it is written as a label line of
      // the entry's group (a group of its own for an ungrouped entry), unless the stored card
      // already shows exactly that label for the group.
      std::string label = OneLine(Text(Member(entry, "cust_name")));
      bool newLabel = !label.empty() && label != kind.property;
      if (newLabel && written.group.empty()) {
        written.group = FreshGroup(groups.used);
      } else if (newLabel) {
        auto shown = groups.shownLabels.find(written.group);
        newLabel = shown == groups.shownLabels.end() || shown->second != label;
        if (newLabel) lines.relabeled.insert(written.group);
      }

      std::string line = written.group.empty() ? written.name : written.group + "." + written.name;
      const Json::Value& types = Elements(Member(entry, "type"));
      for (Json::ArrayIndex t = 0; t < types.size(); ++t) {
        line += ";type=" + OneLine(Text(types[t]));
      }
      // A new card writes an untyped entry as "EMAIL:" and the like; anywhere else it needs a
      // parameter, or the listing would no longer show it as an entry.
      bool plain = fresh && written.group.empty() && written.name == kind.property;
      if (types.size() == 0 && !plain && kind.needs_parameter) line += ";VALUE=text";

      std::string data = OneLine(Text(Member(entry, "data")));
      if (std::string(kind.property) != "ADR") {
        line += ":" + data;
      } else if (data.find(';') != std::string::npos) {
        // Already the structured value (as read from a stored card): written whole.
        line += ":" + data;
      } else {
        line += ":;;" + handler.formulateStr(data.c_str()) + ";;;;";
      }
      lines.text += line + kLineEnd;
      if (newLabel) lines.text += written.group + kLabelProperty + label + kLineEnd;
    }
  }
  return lines;
}

// The stored card's unmapped lines without the label lines of relabeled groups, ended by a line
// end so that the first written property does not join their last line.
std::string HeadFromOther(const std::string& other, const std::set<std::string>& relabeled) {
  std::string head;
  if (relabeled.empty()) {
    head = other;
  } else {
    std::size_t start = 0;
    while (start < other.size()) {
      std::size_t end = other.find('\n', start);
      end = end == std::string::npos ? other.size() : end + 1;
      std::string piece = other.substr(start, end - start);
      std::string line = piece.substr(0, piece.find_first_of("\r\n"));
      std::string group = LabelLineGroup(line, nullptr);
      bool oldLabel = line.find(kLabelProperty) != std::string::npos && relabeled.count(group);
      if (!oldLabel) head += piece;
      start = end;
    }
  }
  if (!head.empty() && head.back() != '\n') head += head.back() == '\r' ? "\n" : kLineEnd;
  return head;
}

}  // namespace

std::string ContactAndCalendarHandler::formulateStr(const char* text) {
  // Only the space character: a leading tab is part of the value.
  while (*text == ' ') ++text;
  return text;
}

std::string ContactAndCalendarHandler::setCardContent(Json::Value card) {
  const std::string id = Text(Member(card, "id"));
  // A fresh id makes a new card; without one the stored card's own lines head the text.
  const bool fresh = !id.empty();
  const std::string other = fresh ? std::string() : Text(Member(card, "other"));

  StoredGroups groups = ScanGroups(other);
  EntryLines entries = WriteEntries(card, fresh, groups, *this);

  std::string text;
  if (fresh) {
    text = kFreshHeader;
    text += "UID:" + OneLine(id) + kLineEnd;
  } else {
    text = HeadFromOther(other, entries.relabeled);
  }

  const Json::Value& name = Member(card, "name");
  const std::string family = OneLine(Text(Member(name, "family_name")));
  const std::string given = OneLine(Text(Member(name, "given_name")));
  const std::string additional = OneLine(Text(Member(name, "additional_name")));
  text += "FN:" + family + " " + given + " " + additional + kLineEnd;
  text += "N:" + family + ";" + given + ";" + additional + ";;" + kLineEnd;

  const Json::Value& company = Member(card, "company");
  std::string org = OneLine(Text(Member(company, "org")));
  if (!org.empty()) {
    // The listing drops one trailing ';' of a stored ORG value; an edit gives it back.
    if (!fresh && (org.back() == ';' || org.back() == '\\')) org += ';';
    text += "ORG:" + org + kLineEnd;
  }
  const std::string title = OneLine(Text(Member(company, "title")));
  if (!title.empty()) text += "TITLE:" + title + kLineEnd;
  const std::string bday = OneLine(Text(Member(card, "bday")));
  if (!bday.empty()) text += "BDAY:" + bday + kLineEnd;

  text += entries.text;
  text += "NOTE:" + EscapedNote(Text(Member(card, "note"))) + kLineEnd;
  text += "END:VCARD";
  text += kLineEnd;
  return text;
}
