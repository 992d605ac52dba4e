// The edit as a change to the stored card: the record sent back is compared with the record the
// stored card reads as, and only the properties whose fields differ are rewritten, removed or
// added. Every other line (photos, X- properties, parameters, repeats) stays byte for byte.
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "card_record.h"
#include "contact_and_calendar_handler.h"
#include "vcard_line.h"

namespace {

using record::Elements;
using record::Member;
using record::Text;

struct StoredLine {
  std::string_view raw;  // the physical lines as stored, line ends included
  std::string logical;
};

std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!out.empty()) out += separator;
    out += part;
  }
  return out;
}

// The head of a rewritten line: group and name as stored, parameters but the types (when
// `newTypes` replaces them) and the encoding and character set of the value that is replaced.
std::string RewrittenHead(const vcard::ContentLine& line, const Json::Value* newTypes) {
  std::string head;
  if (!line.group.empty()) head.append(line.group).append(".");
  head.append(line.name);
  for (const vcard::Parameter& parameter : line.parameters) {
    if (parameter.name.empty()) {
      const bool encodingWord = vcard::EqualsNoCase(parameter.value, "QUOTED-PRINTABLE") ||
                                vcard::EqualsNoCase(parameter.value, "8BIT") ||
                                vcard::EqualsNoCase(parameter.value, "7BIT");
      if (encodingWord || newTypes) continue;  // a bare word is a type
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
  if (newTypes) {
    for (const Json::Value& type : Elements(*newTypes)) {
      const std::string word = vcard::JoinLineBreaks(Text(type));
      if (!word.empty()) head += ";TYPE=" + word;
    }
  }
  return head;
}

// A group as groups compare: without regard to case.
std::string GroupKey(std::string_view group) {
  std::string key(group);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

bool SameTypes(const Json::Value& a, const Json::Value& b) { return Elements(a) == Elements(b); }

}  // namespace

bool ContactAndCalendarHandler::mergeCardEdit(const std::string& stored, const Json::Value& sent,
                                              std::string& text) {
  // The stored card as the listing reads it.
  _labelMap = Json::Value();
  std::string buffer = stored;
  ParseCardLabel(buffer.data());
  buffer = stored;
  Json::Value old(Json::objectValue);
  ParseCardText(buffer.data(), old);
  if (!sent.isObject()) return false;

  std::vector<StoredLine> lines;
  vcard::LineReader reader(stored);
  std::string_view logical;
  std::size_t start = reader.Offset();
  while (reader.Next(logical)) {
    lines.push_back(
        {std::string_view(stored).substr(start, reader.Offset() - start), std::string(logical)});
    start = reader.Offset();
  }
  const std::string_view tail = std::string_view(stored).substr(start);

  // Where the record's fields come from, found as the reader finds them.
  std::map<std::string, std::size_t> single;                   // "N", "NOTE", ... -> line
  std::map<std::string, std::vector<std::size_t>> entryLines;  // "tel" -> lines of its entries
  std::map<std::string, std::vector<std::size_t>> groupLines;  // lower-case group -> lines
  std::map<std::string, std::size_t> labelLine;                // group -> its X-ABLabel line
  std::size_t fnLine = lines.size();
  std::size_t endLine = lines.size();
  vcard::ContentLine line;
  std::string decoded;
  const std::pair<const char*, const char*> kKinds[] = {
      {"TEL", "tel"}, {"EMAIL", "mail"}, {"ADR", "adr"}, {"URL", "url"}};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!vcard::SplitLine(lines[i].logical, line)) continue;
    if (vcard::EqualsNoCase(line.name, "END")) {
      endLine = i;
      break;
    }
    if (!line.group.empty()) {
      const std::string group = GroupKey(line.group);
      groupLines[group].push_back(i);
      if (vcard::EqualsNoCase(line.name, "X-ABLabel")) labelLine[group] = i;
    }
    if (vcard::EqualsNoCase(line.name, "FN")) {
      if (fnLine == lines.size()) fnLine = i;
      continue;
    }
    bool entry = false;
    for (const auto& [property, kind] : kKinds) {
      if (!vcard::EqualsNoCase(line.name, property)) continue;
      entry = true;
      if (!vcard::DecodedValue(line, decoded).empty()) entryLines[kind].push_back(i);
    }
    if (entry) continue;
    for (const char* name : {"N", "NOTE", "ORG", "TITLE", "BDAY"}) {
      if (vcard::EqualsNoCase(line.name, name) && !single.count(name)) single[name] = i;
    }
  }

  std::map<std::size_t, std::string> replaced;  // line -> new logical line ("" removes it)
  std::vector<std::string> added;
  std::set<std::string> usedGroups;
  for (const auto& [group, indices] : groupLines) usedGroups.insert(group);
  auto freshGroup = [&usedGroups]() {
    for (unsigned n = 1;; ++n) {
      std::string group = "item" + std::to_string(n);
      if (usedGroups.insert(group).second) return group;
    }
  };

  // The name, and the formatted name when it was the one the old name gave.
  const Json::Value& oldName = old["name"];
  const Json::Value& newName = Member(sent, "name");
  const char* kNameKeys[] = {"family_name", "given_name", "additional_name"};
  bool nameChanged = false;
  for (const char* key : kNameKeys) {
    nameChanged = nameChanged || Text(oldName[key]) != Text(Member(newName, key));
  }
  if (nameChanged) {
    std::vector<std::string> components(5);
    if (single.count("N")) {
      vcard::SplitLine(lines[single["N"]].logical, line);
      std::vector<std::string_view> parts =
          vcard::SplitUnescaped(vcard::DecodedValue(line, decoded), ';');
      for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i < components.size())
          components[i] = std::string(parts[i]);
        else
          components.push_back(std::string(parts[i]));
      }
    }
    auto shownName = [](const std::vector<std::string>& n) {
      return vcard::UnescapeText(Join({n[3], n[1], n[2], n[0], n[4]}, " "));
    };
    const std::string oldShown = shownName(components);
    const std::string oldWriterForm =
        vcard::UnescapeText(Text(oldName["family_name"]) + " " + Text(oldName["given_name"]) + " " +
                            Text(oldName["additional_name"]));
    for (std::size_t i = 0; i < 3; ++i) {
      components[i] = vcard::JoinLineBreaks(Text(Member(newName, kNameKeys[i])));
    }
    std::string value;
    for (std::size_t i = 0; i < components.size(); ++i) value += (i ? ";" : "") + components[i];
    if (single.count("N")) {
      vcard::SplitLine(lines[single["N"]].logical, line);
      replaced[single["N"]] = RewrittenHead(line, nullptr) + ":" + value;
    } else {
      added.push_back("N:" + value);
    }
    const std::string newShown = vcard::EscapeText(shownName(components));
    if (fnLine < lines.size()) {
      vcard::SplitLine(lines[fnLine].logical, line);
      const std::string fn = vcard::UnescapeText(vcard::DecodedValue(line, decoded));
      if (fn.empty() || fn == oldShown || fn == oldWriterForm) {
        replaced[fnLine] = RewrittenHead(line, nullptr) + ":" + newShown;
      }
    } else {
      added.push_back("FN:" + newShown);
    }
  }

  // Organisation, title, note and birthday: one property each.
  const struct {
    const char* property;
    std::string was;
    std::string now;
  } kSingles[] = {
      {"ORG", Text(old["company"]["org"]), Text(Member(Member(sent, "company"), "org"))},
      {"TITLE", Text(old["company"]["title"]), Text(Member(Member(sent, "company"), "title"))},
      {"NOTE", Text(old["note"]), Text(Member(sent, "note"))},
      {"BDAY", Text(old["bday"]), Text(Member(sent, "bday"))},
  };
  for (const auto& single_ : kSingles) {
    if (single_.was == single_.now) continue;
    // Only a note holds line breaks (as the escape); any other value stays on one line.
    const bool note = std::string(single_.property) == "NOTE";
    const std::string value =
        note ? vcard::EscapeLineBreaks(single_.now) : vcard::JoinLineBreaks(single_.now);
    auto found = single.find(single_.property);
    if (found == single.end()) {
      added.push_back(std::string(single_.property) + ":" + value);
    } else if (single_.now.empty()) {
      replaced[found->second] = "";
    } else {
      vcard::SplitLine(lines[found->second].logical, line);
      replaced[found->second] = RewrittenHead(line, nullptr) + ":" + value;
    }
  }

  // Entries, matched by their place among the entries of their kind.
  for (const auto& [property, kind] : kKinds) {
    const Json::Value& was = Elements(old[kind]);
    const Json::Value& now = Elements(Member(sent, kind));
    const std::vector<std::size_t>& where = entryLines[kind];
    for (Json::ArrayIndex i = 0; i < was.size() || i < now.size(); ++i) {
      if (i < was.size() && i < now.size()) {
        const Json::Value& a = was[i];
        const Json::Value& b = now[i];
        const bool typesChanged = !SameTypes(a["type"], Member(b, "type"));
        if (Text(a["data"]) != Text(Member(b, "data")) || typesChanged) {
          std::string data = Text(Member(b, "data"));
          if (data.empty()) {
            replaced[where[i]] = "";
          } else {
            vcard::SplitLine(lines[where[i]].logical, line);
            replaced[where[i]] = RewrittenHead(line, typesChanged ? &Member(b, "type") : nullptr) +
                                 ":" + vcard::JoinLineBreaks(data);
          }
        }
        const Json::Value& label = Member(b, "cust_name");
        if (label.isString() && label != a["cust_name"] && label.asString() != property) {
          vcard::SplitLine(lines[where[i]].logical, line);
          const std::string group = GroupKey(line.group);
          const std::string written = vcard::JoinLineBreaks(label.asString());
          auto existing = labelLine.find(group);
          if (!group.empty() && existing != labelLine.end()) {
            replaced[existing->second] = std::string(line.group) + ".X-ABLabel:" + written;
          } else if (!group.empty()) {
            added.push_back(std::string(line.group) + ".X-ABLabel:" + written);
          } else {
            // An ungrouped entry gets a group of its own to carry its label.
            const std::string fresh = freshGroup();
            const std::string current =
                replaced.count(where[i]) ? replaced[where[i]] : lines[where[i]].logical;
            if (!current.empty()) replaced[where[i]] = fresh + "." + current;
            added.push_back(fresh + ".X-ABLabel:" + written);
          }
        }
        continue;
      }
      if (i < was.size()) {
        // A removed entry takes its label line along when nothing else of its group remains.
        replaced[where[i]] = "";
        vcard::SplitLine(lines[where[i]].logical, line);
        const std::string group = GroupKey(line.group);
        if (group.empty()) continue;
        bool others = false;
        for (std::size_t index : groupLines[group]) {
          const bool label = labelLine.count(group) && labelLine[group] == index;
          const bool gone = replaced.count(index) && replaced[index].empty();
          others = others || (!label && !gone);
        }
        if (!others && labelLine.count(group)) replaced[labelLine[group]] = "";
        continue;
      }
      const Json::Value& entry = now[i];
      const std::string data = vcard::JoinLineBreaks(Text(Member(entry, "data")));
      if (data.empty()) continue;
      std::string head = property;
      const Json::Value& label = Member(entry, "cust_name");
      std::string group;
      if (label.isString() && !label.asString().empty() && label.asString() != property) {
        group = freshGroup();
        head = group + "." + head;
      }
      for (const Json::Value& type : Elements(Member(entry, "type"))) {
        const std::string word = vcard::JoinLineBreaks(Text(type));
        if (!word.empty()) head += ";TYPE=" + word;
      }
      const bool address = std::string(property) == "ADR";
      added.push_back(
          head + ":" +
          (address && data.find(';') == std::string::npos ? ";;" + data + ";;;;" : data));
      if (!group.empty()) {
        added.push_back(group + ".X-ABLabel:" + vcard::JoinLineBreaks(label.asString()));
      }
    }
  }

  if (replaced.empty() && added.empty()) {
    text = stored;
    return true;
  }
  text.clear();
  text.reserve(stored.size() + 256);
  std::string_view lastKept;  // the stored line written last
  // New lines start on a line of their own, never as the continuation of a stored
  // quoted-printable value that ends in a soft break (a blank line ends that).
  auto startLine = [&text, &lastKept]() {
    if (!text.empty() && text.back() != '\n') text += "\r\n";
    bool softBreak = false;
    if (vcard::Continues(lastKept, "x", softBreak) && softBreak) text += "\r\n";
    lastKept = {};
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == endLine) {
      if (!added.empty()) startLine();
      for (const std::string& newLine : added) vcard::AppendFolded(text, newLine);
      added.clear();
    }
    auto change = replaced.find(i);
    if (change == replaced.end()) {
      text.append(lines[i].raw.data(), lines[i].raw.size());
      lastKept = lines[i].logical;
    } else if (!change->second.empty()) {
      startLine();
      vcard::AppendFolded(text, change->second);
    }
  }
  if (!added.empty()) {
    startLine();
    for (const std::string& newLine : added) vcard::AppendFolded(text, newLine);
    text += "END:VCARD\r\n";
  }
  text.append(tail.data(), tail.size());
  return true;
}
