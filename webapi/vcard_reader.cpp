// vCard reading: turns the stored text of one contact into the card record the browser shows.
// A line scanner over a writable buffer that it cuts in place; lines it does not take apart are
// kept verbatim in `other` so that an edit writes them back.
#include <strings.h>

#include <cstring>
#include <string>

#include "contact_and_calendar_handler.h"

namespace {

// The next line of the text at `cursor`, cut off with a NUL, and `cursor` moved past it. CR and
// LF both end a line and a run of them is one break, so empty lines never come back. Null at the
// end of the text. Only ever steps over characters before the terminating NUL.
char* NextLine(char*& cursor) {
  cursor += std::strspn(cursor, "\r\n");
  if (*cursor == '\0') return nullptr;
  char* line = cursor;
  cursor += std::strcspn(cursor, "\r\n");
  if (*cursor != '\0') *cursor++ = '\0';
  return line;
}

// The next token at `cursor` (a run of delimiters counts as one, so no token is empty), cut off
// with a NUL, and `cursor` moved past it. Null when only delimiters are left.
char* NextToken(char*& cursor, const char* delimiters) {
  if (!cursor) return nullptr;
  cursor += std::strspn(cursor, delimiters);
  if (*cursor == '\0') return nullptr;
  char* token = cursor;
  cursor += std::strcspn(cursor, delimiters);
  if (*cursor != '\0') *cursor++ = '\0';
  return token;
}

// Cuts the text before the first of `delimiters` off `line` as the property name. Returns the
// rest after that delimiter (null when the line has none) and reports the delimiter in `ended`.
char* CutPropertyName(char* line, const char* delimiters, char* ended) {
  char* end = line + std::strcspn(line, delimiters);
  *ended = *end;
  if (*end == '\0') return nullptr;
  *end = '\0';
  return end + 1;
}

bool StartsWith(const char* line, const char* prefix) {
  return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

// A new entry for `key`: a grouped property (item1.EMAIL) takes its group's label, null when this
// card defines none; an ungrouped one takes the fixed word of its kind.
Json::Value StartEntry(const char* key, const Json::Value& labelMap, const char* fixedLabel) {
  Json::Value entry(Json::objectValue);
  entry["key"] = key;
  const char* dot = std::strchr(key, '.');
  entry["cust_name"] = dot ? labelMap.get(std::string(key, dot), Json::Value()) : fixedLabel;
  entry["data"] = "";
  return entry;
}

// A parameter "type=X" (any case) adds X to the types; any other token becomes the value. The
// value comes last on a line, so `data` ends up holding it.
void TakeToken(const char* token, Json::Value& entry) {
  if (strncasecmp(token, "type=", 5) == 0) {
    entry["type"].append(token + 5);
    return;
  }
  entry["data"] = token;
}

void AppendUnlessEmpty(Json::Value& entry, Json::Value& record, const char* target) {
  if (entry["data"].asString().empty()) return;
  record[target].append(std::move(entry));
}

}  // namespace

void ContactAndCalendarHandler::setEmptyInfo(Json::Value& record) {
  Json::Value name(Json::objectValue);
  name["family_name"] = "";
  name["given_name"] = "";
  name["additional_name"] = "";
  record["name"] = std::move(name);
  Json::Value company(Json::objectValue);
  company["org"] = "";
  company["title"] = "";
  record["company"] = std::move(company);
  record["tel"] = Json::Value(Json::arrayValue);
  record["mail"] = Json::Value(Json::arrayValue);
  record["note"] = "";
}

void ContactAndCalendarHandler::ParseCardLabel(char* cardText) {
  if (!cardText) return;
  char* cursor = cardText;
  while (char* line = NextLine(cursor)) {
    if (!std::strstr(line, ".X-ABLabel:") && !std::strstr(line, ".X-ABADR:")) continue;
    char* colon = std::strchr(line, ':');
    char* dot = std::strchr(line, '.');
    if (!colon || !dot) continue;
    const std::string group(line, dot);
    char* label = colon + 1;
    // Address books write their own labels as _$!<Home>!$_; a user's label stands plain.
    if (char* close = std::strchr(label, '>')) *close = '\0';
    if (char* open = std::strchr(label, '<')) label = open + 1;
    _labelMap[group] = label;
  }
}

void ContactAndCalendarHandler::ParseCardText(char* cardText, Json::Value& record) {
  setEmptyInfo(record);
  std::string other;
  int lineNumber = 0;
  int noteLine = -1;
  int addressLine = -1;
  char noText[] = "";
  char* cursor = cardText ? cardText : noText;
  while (char* line = NextLine(cursor)) {
    if (StartsWith(line, "END")) break;
    ++lineNumber;
    if (StartsWith(line, "FN:")) continue;
    if (StartsWith(line, "NOTE:")) {
      record["note"] = line + 5;
      noteLine = lineNumber;
    } else if (StartsWith(line, "TITLE:")) {
      record["company"]["title"] = line + 6;
    } else if (StartsWith(line, "ORG:")) {
      const std::size_t length = std::strlen(line);
      if (line[length - 1] == ';') line[length - 1] = '\0';
      record["company"]["org"] = line + 4;
    } else if (StartsWith(line, "BDAY:")) {
      record["bday"] = line + 5;
    } else if (StartsWith(line, "N:")) {
      ParseInfoName(line + 2, record);
    } else if (std::strstr(line, "EMAIL;")) {
      ParseInfoEMAIL(line, record);
    } else if (std::strstr(line, "TEL;")) {
      ParseInfoTEL(line, record);
    } else if (std::strstr(line, "ADR;")) {
      ParseInfoADR(line, record);
      addressLine = lineNumber;
    } else if (std::strstr(line, "URL;") || std::strstr(line, "URL:")) {
      ParseInfoURL(line, record);
    } else if (std::strchr(line, ':')) {
      other.append(line).append("\r\n");
    } else if (noteLine >= 0 && noteLine == lineNumber - 1) {
      record["note"] = record["note"].asString() + "\n" + line;
      noteLine = lineNumber;
    } else if (addressLine >= 0 && addressLine == lineNumber - 1 && record.isMember("adr") &&
               record["adr"].isArray() && !record["adr"].empty()) {
      Json::Value& last = record["adr"][record["adr"].size() - 1];
      last["data"] = last["data"].asString() + " " + line;
      addressLine = lineNumber;
    } else {
      // Also a line after an address line that had no value: there is no entry to extend, and
      // `other` keeps the line for the next write.
      other.append(line).append("\r\n");
    }
  }
  record["other"] = std::move(other);
}

void ContactAndCalendarHandler::ParseInfoName(char* value, Json::Value& record) {
  static const char* const kKeys[] = {"family_name", "given_name", "additional_name"};
  Json::Value& name = record["name"];
  char noValue[] = "";
  char* component = value ? value : noValue;
  for (const char* key : kKeys) {
    if (!component) {
      name[key] = "";
      continue;
    }
    char* semicolon = std::strchr(component, ';');
    if (semicolon) *semicolon = '\0';
    name[key] = component;
    component = semicolon ? semicolon + 1 : nullptr;
  }
}

void ContactAndCalendarHandler::ParseInfoEMAIL(char* line, Json::Value& record) {
  char ended = '\0';
  char* rest = CutPropertyName(line, ";:", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "EMAIL");
  while (char* token = NextToken(rest, ";:")) TakeToken(token, entry);
  AppendUnlessEmpty(entry, record, "mail");
}

void ContactAndCalendarHandler::ParseInfoTEL(char* line, Json::Value& record) {
  char ended = '\0';
  char* rest = CutPropertyName(line, ";:", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "TEL");
  // The comma splits a type list (type=CELL,VOICE); the number, last on the line, wins `data`.
  while (char* token = NextToken(rest, ";:,")) TakeToken(token, entry);
  AppendUnlessEmpty(entry, record, "tel");
}

void ContactAndCalendarHandler::ParseInfoURL(char* line, Json::Value& record) {
  char ended = '\0';
  char* rest = CutPropertyName(line, ";:", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "URL");
  // A web address holds ':' itself, so only the first ':' after the parameters ends the
  // parameter list, however many parameters there are; after it only ';' splits.
  char* value = rest;
  char* parameters = nullptr;
  if (ended == ';') {
    parameters = rest;
    value = nullptr;
    if (char* colon = std::strchr(rest, ':')) {
      *colon = '\0';
      value = colon + 1;
    }
  }
  while (char* token = NextToken(parameters, ";")) TakeToken(token, entry);
  while (char* token = NextToken(value, ";")) TakeToken(token, entry);
  AppendUnlessEmpty(entry, record, "url");
}

void ContactAndCalendarHandler::ParseInfoADR(char* line, Json::Value& record) {
  // The value's ';'-separated fields belong together: only the part before ':' is tokenised.
  const char* data = "";
  if (char* colon = std::strchr(line, ':')) {
    *colon = '\0';
    char* value = colon + 1;
    if (char* next = std::strchr(value, ':')) *next = '\0';
    data = value;
  }
  char ended = '\0';
  char* parameters = CutPropertyName(line, ";", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "ADR");
  while (char* token = NextToken(parameters, ";")) {
    if (strncasecmp(token, "type=", 5) == 0) entry["type"].append(token + 5);
  }
  entry["data"] = data;
  AppendUnlessEmpty(entry, record, "adr");
}
