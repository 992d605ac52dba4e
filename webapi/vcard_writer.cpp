// vCard writing of a new card: the vCard 3.0 text of the record an add sends. The card lists as
// the record it was written from, so every value is written in the form the reader reads back.
#include <set>
#include <string>

#include "card_model.h"
#include "card_record.h"
#include "vcard_line.h"

namespace card {

namespace {

using record::Elements;
using record::Member;
using record::Text;

const char kLineEnd[] = "\r\n";
const char kHeader[] = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODUCTID:-//Orvanta//Veyra//EN\r\n";

std::string OneLine(const std::string& value) { return vcard::JoinLineBreaks(value); }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool IsName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool nameChar =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!nameChar) return false;
  }
  return true;
}

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
  const std::size_t dot = key.find('.');
  if (dot != std::string::npos) {
    group = key.substr(0, dot);
    name = key.substr(dot + 1);
    if (!IsName(group)) return written;
  }
  if (!IsName(name) || Lower(name) != Lower(kind.property)) return written;
  return WrittenName{group, name};
}

// The entry lines of the card, each followed by the label line of its group when its label is the
// user's own (an ungrouped entry gets a group of its own for it).
std::string EntryLines(const Json::Value& card) {
  // Groups named by the record's own keys are taken: a new group must not join one of them.
  std::set<std::string> used;
  for (const EntryKind& kind : kEntryKinds) {
    for (const Json::Value& entry : Elements(Member(card, kind.list))) {
      const WrittenName written = NameOf(Text(Member(entry, "key")), kind);
      if (!written.group.empty()) used.insert(Lower(written.group));
    }
  }
  std::string lines;
  for (const EntryKind& kind : kEntryKinds) {
    for (const Json::Value& entry : Elements(Member(card, kind.list))) {
      // An entry without data would list as nothing, or an address as its separators alone.
      const std::string data = OneLine(Text(Member(entry, "data")));
      if (!HasData(kind, data)) continue;
      WrittenName written = NameOf(Text(Member(entry, "key")), kind);
      const std::string label = OneLine(Text(Member(entry, "cust_name")));
      const bool ownLabel = !label.empty() && label != kind.property;
      if (ownLabel && written.group.empty()) written.group = FreshGroup(used);
      if (!written.group.empty()) lines += written.group + ".";
      lines += written.name + TypeParameters(Member(entry, "type"), kNewCardType) + ":";
      lines += (std::string(kind.property) == "ADR" ? AddressValue(data) : data) + kLineEnd;
      if (ownLabel) lines += written.group + ".X-ABLabel:" + label + kLineEnd;
    }
  }
  return lines;
}

}  // namespace

std::string NewCardText(const Json::Value& card, const std::string& uid) {
  std::string text = kHeader;
  text += "UID:" + OneLine(uid) + kLineEnd;

  const Json::Value& name = Member(card, "name");
  const std::string family = OneLine(Text(Member(name, "family_name")));
  const std::string given = OneLine(Text(Member(name, "given_name")));
  const std::string additional = OneLine(Text(Member(name, "additional_name")));
  text += "FN:" + NewCardFormattedName(family, given, additional) + kLineEnd;
  text += "N:" + family + ";" + given + ";" + additional + ";;" + kLineEnd;

  const Json::Value& company = Member(card, "company");
  const std::string org = OneLine(Text(Member(company, "org")));
  if (!org.empty()) text += "ORG:" + org + kLineEnd;
  const std::string title = OneLine(Text(Member(company, "title")));
  if (!title.empty()) text += "TITLE:" + title + kLineEnd;
  const std::string bday = OneLine(Text(Member(card, "bday")));
  if (!bday.empty()) text += "BDAY:" + bday + kLineEnd;

  text += EntryLines(card);
  // A line of a multi-line note that holds a colon would otherwise become a property: each line
  // break is written as the escape.
  text += "NOTE:" + vcard::EscapeLineBreaks(Text(Member(card, "note"))) + kLineEnd;
  text += "END:VCARD";
  text += kLineEnd;
  return text;
}

}  // namespace card
