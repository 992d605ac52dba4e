// vCard reading: turns the stored text of one contact into the card record the browser shows.
// A line scanner over a writable buffer that it cuts in place; lines it does not take apart are
// kept verbatim in `other` so that an edit writes them back.
#include <strings.h>

#include <cstring>
#include <string>

#include "contact_and_calendar_handler.h"

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

// `text` as a value: "" and the common words without a copy.
Json::Value WordValue(const char* text) {
  if (*text == '\0') return Json::Value(kEmptyText);
  for (const char* word : kCommonWords) {
    if (std::strcmp(text, word) == 0) return Json::Value(Json::StaticString(word));
  }
  return Json::Value(text);
}

// `text` as a value: "" without a copy. For values that are seldom one of the common words.
Json::Value TextValue(const char* text) {
  return *text == '\0' ? Json::Value(kEmptyText) : Json::Value(text);
}

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
  entry[kKey] = WordValue(key);
  const char* dot = std::strchr(key, '.');
  entry[kCustName] = dot ? labelMap.get(std::string(key, dot), Json::Value())
                         : Json::Value(Json::StaticString(fixedLabel));
  entry[kData] = kEmptyText;
  return entry;
}

// A parameter "type=X" (any case) adds X to the types; any other token becomes the value. The
// value comes last on a line, so `data` ends up holding it.
void TakeToken(const char* token, Json::Value& entry) {
  if (strncasecmp(token, "type=", 5) == 0) {
    entry[kType].append(WordValue(token + 5));
    return;
  }
  entry[kData] = TextValue(token);
}

void AppendUnlessEmpty(Json::Value& entry, Json::Value& record, const Json::StaticString& target) {
  const char* begin = nullptr;
  const char* end = nullptr;
  if (!entry[kData].getString(&begin, &end) || begin == end) return;
  record[target].append(std::move(entry));
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
  // The lines kept verbatim take about as much room as the text: one allocation (two when LF
  // line ends become CRLF) instead of a doubling series.
  if (cardText) other.reserve(std::strlen(cardText));
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
      record[kNote] = line + 5;
      noteLine = lineNumber;
    } else if (StartsWith(line, "TITLE:")) {
      record[kCompany][kTitle] = line + 6;
    } else if (StartsWith(line, "ORG:")) {
      const std::size_t length = std::strlen(line);
      if (line[length - 1] == ';') line[length - 1] = '\0';
      record[kCompany][kOrg] = line + 4;
    } else if (StartsWith(line, "BDAY:")) {
      record[kBday] = line + 5;
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
      record[kNote] = record[kNote].asString() + "\n" + line;
      noteLine = lineNumber;
    } else if (addressLine >= 0 && addressLine == lineNumber - 1 && record.isMember("adr") &&
               record[kAdr].isArray() && !record[kAdr].empty()) {
      Json::Value& last = record[kAdr][record[kAdr].size() - 1];
      last[kData] = last[kData].asString() + " " + line;
      addressLine = lineNumber;
    } else {
      // Also a line after an address line that had no value: there is no entry to extend, and
      // `other` keeps the line for the next write.
      other.append(line).append("\r\n");
    }
  }
  record[kOther] = std::move(other);
}

void ContactAndCalendarHandler::ParseInfoName(char* value, Json::Value& record) {
  const Json::StaticString* const kComponents[] = {&kFamilyName, &kGivenName, &kAdditionalName};
  Json::Value& name = record[kName];
  char noValue[] = "";
  char* component = value ? value : noValue;
  for (const Json::StaticString* key : kComponents) {
    if (!component) {
      name[*key] = kEmptyText;
      continue;
    }
    char* semicolon = std::strchr(component, ';');
    if (semicolon) *semicolon = '\0';
    name[*key] = TextValue(component);
    component = semicolon ? semicolon + 1 : nullptr;
  }
}

void ContactAndCalendarHandler::ParseInfoEMAIL(char* line, Json::Value& record) {
  char ended = '\0';
  char* rest = CutPropertyName(line, ";:", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "EMAIL");
  while (char* token = NextToken(rest, ";:")) TakeToken(token, entry);
  AppendUnlessEmpty(entry, record, kMail);
}

void ContactAndCalendarHandler::ParseInfoTEL(char* line, Json::Value& record) {
  char ended = '\0';
  char* rest = CutPropertyName(line, ";:", &ended);
  Json::Value entry = StartEntry(line, _labelMap, "TEL");
  // The comma splits a type list (type=CELL,VOICE); the number, last on the line, wins `data`.
  while (char* token = NextToken(rest, ";:,")) TakeToken(token, entry);
  AppendUnlessEmpty(entry, record, kTel);
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
  AppendUnlessEmpty(entry, record, kUrl);
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
    if (strncasecmp(token, "type=", 5) == 0) entry[kType].append(WordValue(token + 5));
  }
  entry[kData] = TextValue(data);
  AppendUnlessEmpty(entry, record, kAdr);
}
