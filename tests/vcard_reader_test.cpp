// The vCard reader on cards as phones and desktop address books write them, on the rules for each
// kind of line, on damaged and truncated text, and on the real sample files.
#include <json/writer.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "contact_and_calendar_handler.h"
#include "test_env.h"

using namespace testenv;

namespace {

// An entry of tel, mail, adr or url as the reader must produce it. No types means no `type` key.
Json::Value Entry(const char* key, const Json::Value& custName, std::vector<std::string> types,
                  const std::string& data) {
  Json::Value entry(Json::objectValue);
  entry["key"] = key;
  entry["cust_name"] = custName;
  for (const std::string& type : types) entry["type"].append(type);
  entry["data"] = data;
  return entry;
}

Json::Value Array(std::initializer_list<Json::Value> items) {
  Json::Value array(Json::arrayValue);
  for (const Json::Value& item : items) array.append(item);
  return array;
}

Json::Value Name(const char* family, const char* given, const char* additional) {
  Json::Value name(Json::objectValue);
  name["family_name"] = family;
  name["given_name"] = given;
  name["additional_name"] = additional;
  return name;
}

Json::Value Company(const char* org, const char* title) {
  Json::Value company(Json::objectValue);
  company["org"] = org;
  company["title"] = title;
  return company;
}

const Json::Value kNull;

// The record shape every caller relies on, whatever the text was.
::testing::AssertionResult WellFormed(const Json::Value& record) {
  auto fail = [&](const std::string& why) {
    return ::testing::AssertionFailure() << why << " in " << record.toStyledString();
  };
  if (!record.isObject()) return fail("record is not an object");
  for (const char* key : {"family_name", "given_name", "additional_name"}) {
    if (!record["name"].isObject() || !record["name"][key].isString()) return fail(key);
  }
  for (const char* key : {"org", "title"}) {
    if (!record["company"].isObject() || !record["company"][key].isString()) return fail(key);
  }
  if (!record["note"].isString() || !record["other"].isString()) return fail("note/other");
  if (record.isMember("bday") && !record["bday"].isString()) return fail("bday");
  for (const char* list : {"tel", "mail", "adr", "url"}) {
    const bool always = std::strcmp(list, "tel") == 0 || std::strcmp(list, "mail") == 0;
    if (!record.isMember(list)) {
      if (always) return fail(std::string("missing ") + list);
      continue;
    }
    if (!record[list].isArray()) return fail(std::string(list) + " is not an array");
    if (!always && record[list].empty()) return fail(std::string("empty ") + list);
    for (const Json::Value& entry : record[list]) {
      if (!entry["key"].isString()) return fail("entry key");
      if (!entry["data"].isString() || entry["data"].asString().empty()) return fail("entry data");
      if (!entry["cust_name"].isString() && !entry["cust_name"].isNull()) return fail("cust_name");
      if (entry.isMember("type")) {
        if (!entry["type"].isArray() || entry["type"].empty()) return fail("type");
        for (const Json::Value& type : entry["type"]) {
          if (!type.isString()) return fail("type value");
        }
      }
    }
  }
  for (const char* key : {"id", "resource_id", "resource_name"}) {
    if (record.isMember(key)) return fail(std::string("reader set ") + key);
  }
  return ::testing::AssertionSuccess();
}

// A heap buffer of exactly the text and its NUL, so that AddressSanitizer sees any read or
// write past the end.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
  std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
  return buffer;
}

std::string SamplesDir() {
  const char* dir = std::getenv("LUMIDEX_VCARD_SAMPLES");
  return dir ? dir : "/work/shared/vcards";
}

class VCardReader : public ::testing::Test {
 protected:
  // As the listing reads a card: labels from one copy, the record from another.
  Json::Value Read(const std::string& text) {
    handler.ParseCardLabel(ExactCopy(text).get());
    return ReadTextOnly(text);
  }

  Json::Value ReadTextOnly(const std::string& text) {
    Json::Value record(Json::objectValue);
    handler.ParseCardText(ExactCopy(text).get(), record);
    return record;
  }

  Json::Value ReadSample(const std::string& file) {
    const std::string path = SamplesDir() + "/" + file;
    if (!FileExists(path)) ADD_FAILURE() << "sample missing: " << path;
    return Read(ReadFile(path));
  }

  TempRoot root;  // the handler's store keeps its mapping file under this root
  ORVA::APIRequest request;
  ORVA::APIResponse response;
  ContactAndCalendarHandler handler{&request, &response, "contact_list_cards"};
};

// As an iPhone writes a card: CRLF, item groups labelled in both label forms, UTF-8.
const char kPhoneCard[] =
    "BEGIN:VCARD\r\n"
    "VERSION:3.0\r\n"
    "PRODID:-//Apple Inc.//iPhone OS 17.1//EN\r\n"
    "N:M\xC3\xBCller;J\xC3\xBCrgen;Karl;Dr.;\r\n"
    "FN:Dr. J\xC3\xBCrgen Karl M\xC3\xBCller\r\n"
    "ORG:Beispiel GmbH;Vertrieb;\r\n"
    "TITLE:Leiter Vertrieb\r\n"
    "item1.EMAIL;type=INTERNET;type=pref:juergen.mueller@beispiel.de\r\n"
    "item1.X-ABLabel:_$!<Work>!$_\r\n"
    "item2.EMAIL;type=INTERNET:jkm@privat.example\r\n"
    "item2.X-ABLabel:Privat\r\n"
    "TEL;type=CELL;type=VOICE;type=pref:+49 171 2345678\r\n"
    "TEL;type=WORK,VOICE:+49 30 1234-0\r\n"
    "item3.TEL;type=VOICE:+49 30 9999\r\n"
    "item4.ADR;type=HOME;type=pref:;;Hauptstra\xC3\x9F"
    "e 5;Berlin;;10115;Deutschland\r\n"
    "item4.X-ABADR:de\r\n"
    "item5.URL;type=pref:https://beispiel.de/team\r\n"
    "item5.X-ABLabel:_$!<HomePage>!$_\r\n"
    "BDAY:1975-04-12\r\n"
    "NOTE:Erste Zeile\r\n"
    " zweite Zeile\r\n"
    " dritte Zeile\r\n"
    "UID:6F3B2C1A-0000-4000-8000-00000000A001\r\n"
    "END:VCARD\r\n";

// As a desktop address book exports one: LF only, capital types, two addresses, one of them
// continued over two lines, an empty e-mail, parameterless lines, and a second card behind it.
const char kDesktopCard[] =
    "BEGIN:VCARD\n"
    "VERSION:3.0\n"
    "N:Doe;John\n"
    "FN:John Doe\n"
    "ORG:Example Corp;\n"
    "TITLE:Engineer\n"
    "EMAIL;TYPE=INTERNET,WORK:john.doe@example.com\n"
    "EMAIL;TYPE=HOME:\n"
    "EMAIL:plain@example.com\n"
    "TEL;TYPE=HOME:555-0100\n"
    "TEL:555-0199\n"
    "ADR;TYPE=WORK:;;1 Main Street;Springfield;IL;62701;USA\n"
    "Building 4\n"
    "Floor 2\n"
    "ADR;TYPE=HOME;TYPE=POSTAL:;;22 Elm Road;Shelbyville;;;\n"
    "NOTE:Met at the conference\n"
    "URL:http://example.com/john\n"
    "URL;TYPE=WORK;TYPE=PREF:https://corp.example.com:8443/people?id=7\n"
    "REV:2024-01-01T00:00:00Z\n"
    "END:VCARD\n"
    "NOTE:not this\n"
    "BEGIN:VCARD\n"
    "N:Second;Card\n"
    "END:VCARD\n";

TEST_F(VCardReader, PhoneCardGivesEveryFieldWithItsGroupLabel) {
  Json::Value expected(Json::objectValue);
  expected["name"] = Name("M\xC3\xBCller", "J\xC3\xBCrgen", "Karl");
  expected["company"] = Company("Beispiel GmbH;Vertrieb", "Leiter Vertrieb");
  expected["mail"] = Array({
      Entry("item1.EMAIL", "Work", {"INTERNET", "pref"}, "juergen.mueller@beispiel.de"),
      Entry("item2.EMAIL", "Privat", {"INTERNET"}, "jkm@privat.example"),
  });
  expected["tel"] = Array({
      Entry("TEL", "TEL", {"CELL", "VOICE", "pref"}, "+49 171 2345678"),
      Entry("TEL", "TEL", {"WORK"}, "+49 30 1234-0"),
      Entry("item3.TEL", kNull, {"VOICE"}, "+49 30 9999"),
  });
  expected["adr"] = Array({Entry("item4.ADR", "de", {"HOME", "pref"},
                                 ";;Hauptstra\xC3\x9F"
                                 "e 5;Berlin;;10115;Deutschland")});
  expected["url"] = Array({Entry("item5.URL", "HomePage", {"pref"}, "https://beispiel.de/team")});
  expected["bday"] = "1975-04-12";
  expected["note"] = "Erste Zeile\n zweite Zeile\n dritte Zeile";
  expected["other"] =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//iPhone OS 17.1//EN\r\n"
      "item1.X-ABLabel:_$!<Work>!$_\r\nitem2.X-ABLabel:Privat\r\nitem4.X-ABADR:de\r\n"
      "item5.X-ABLabel:_$!<HomePage>!$_\r\nUID:6F3B2C1A-0000-4000-8000-00000000A001\r\n";
  EXPECT_EQ(expected, Read(kPhoneCard));
}

TEST_F(VCardReader, DesktopCardJoinsAddressLinesAndStopsAtTheFirstEnd) {
  Json::Value expected(Json::objectValue);
  expected["name"] = Name("Doe", "John", "");
  expected["company"] = Company("Example Corp", "Engineer");
  expected["mail"] = Array({Entry("EMAIL", "EMAIL", {"INTERNET,WORK"}, "john.doe@example.com")});
  expected["tel"] = Array({Entry("TEL", "TEL", {"HOME"}, "555-0100")});
  expected["adr"] = Array({
      Entry("ADR", "ADR", {"WORK"}, ";;1 Main Street;Springfield;IL;62701;USA Building 4 Floor 2"),
      Entry("ADR", "ADR", {"HOME", "POSTAL"}, ";;22 Elm Road;Shelbyville;;;"),
  });
  expected["url"] = Array({
      Entry("URL", "URL", {}, "http://example.com/john"),
      Entry("URL", "URL", {"WORK", "PREF"}, "https://corp.example.com:8443/people?id=7"),
  });
  expected["note"] = "Met at the conference";
  expected["other"] =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nEMAIL:plain@example.com\r\nTEL:555-0199\r\n"
      "REV:2024-01-01T00:00:00Z\r\n";
  EXPECT_EQ(expected, Read(kDesktopCard));
}

TEST_F(VCardReader, LineEndsAndBlankLinesDoNotChangeTheRecord) {
  const std::string lf = kDesktopCard;
  const Json::Value reference = Read(lf);
  auto replaced = [&](const std::string& by) {
    std::string text;
    for (char c : lf) c == '\n' ? text += by : text += c;
    return text;
  };
  for (const char* lineEnd : {"\r\n", "\r", "\r\r\n", "\n\n", "\r\n\r\n\r\n"}) {
    EXPECT_EQ(reference, Read(replaced(lineEnd)))
        << "line end " << ::testing::PrintToString(lineEnd);
  }
  // The phone card the other way round.
  std::string phone = kPhoneCard;
  std::string phoneLf;
  for (char c : phone) {
    if (c != '\r') phoneLf += c;
  }
  EXPECT_EQ(Read(phone), Read(phoneLf));
}

TEST_F(VCardReader, EmptyTextGivesOnlyTheDefaults) {
  Json::Value expected(Json::objectValue);
  expected["name"] = Name("", "", "");
  expected["company"] = Company("", "");
  expected["tel"] = Json::Value(Json::arrayValue);
  expected["mail"] = Json::Value(Json::arrayValue);
  expected["note"] = "";
  expected["other"] = "";
  EXPECT_EQ(expected, Read(""));
  EXPECT_EQ(expected, Read("\r\n\n\r"));
  EXPECT_EQ(expected, Read("END:VCARD\r\nN:Doe;John\r\n"));

  // Keys other than the defaults are left alone; the defaults are reset.
  Json::Value record(Json::objectValue);
  record["id"] = "kept.vcf";
  record["note"] = "stale";
  record["tel"].append("stale");
  handler.ParseCardText(ExactCopy("").get(), record);
  EXPECT_EQ("kept.vcf", record["id"].asString());
  EXPECT_EQ("", record["note"].asString());
  EXPECT_TRUE(record["tel"].empty());
}

TEST_F(VCardReader, NameTakesTheFirstThreeComponents) {
  EXPECT_EQ(Name("Doe", "John", ""), Read("N:Doe;John;;;\r\n")["name"]);
  EXPECT_EQ(Name("Doe", "John", ""), Read("N:Doe;John\r\n")["name"]);
  EXPECT_EQ(Name("Doe", "", ""), Read("N:Doe\r\n")["name"]);
  EXPECT_EQ(Name("", "", ""), Read("N:\r\n")["name"]);
  EXPECT_EQ(Name("", "Conference Call", ""), Read("N:;Conference Call\r\n")["name"]);
  EXPECT_EQ(Name("Gump", "Forrest", "Hoge"), Read("N:Gump;Forrest;Hoge;Pos;Tao\r\n")["name"]);
  // A later N line replaces the earlier one; parameters make it an unknown line.
  const Json::Value twice = Read("N:First;One\r\nN:Second\r\nN;CHARSET=UTF-8:Third;Three\r\n");
  EXPECT_EQ(Name("Second", "", ""), twice["name"]);
  EXPECT_EQ("N;CHARSET=UTF-8:Third;Three\r\n", twice["other"].asString());
}

TEST_F(VCardReader, OrganisationLosesOnlyOneTrailingSemicolon) {
  EXPECT_EQ("Example Corp", Read("ORG:Example Corp;\r\n")["company"]["org"].asString());
  EXPECT_EQ("A;B", Read("ORG:A;B\r\n")["company"]["org"].asString());
  EXPECT_EQ("A;", Read("ORG:A;;\r\n")["company"]["org"].asString());
  EXPECT_EQ("", Read("ORG:;\r\n")["company"]["org"].asString());
  EXPECT_EQ("", Read("ORG:\r\n")["company"]["org"].asString());
}

TEST_F(VCardReader, NoteJoinsLinesWithoutColonUntilOneHasOne) {
  const Json::Value record = Read("NOTE:first\r\nsecond\r\nthird\r\nX-NEXT:value\r\nfourth\r\n");
  EXPECT_EQ("first\nsecond\nthird", record["note"].asString());
  EXPECT_EQ("X-NEXT:value\r\nfourth\r\n", record["other"].asString());
  // Only NOTE: starts a note; a parameterised or lower-case note line is kept verbatim.
  const Json::Value other = Read("NOTE;CHARSET=UTF-8:x\r\ny\r\nNote:z\r\n");
  EXPECT_EQ("", other["note"].asString());
  EXPECT_EQ("NOTE;CHARSET=UTF-8:x\r\ny\r\nNote:z\r\n", other["other"].asString());
  // A second NOTE replaces the first.
  EXPECT_EQ("b\nc", Read("NOTE:a\r\nNOTE:b\r\nc\r\n")["note"].asString());
}

TEST_F(VCardReader, FormattedNameIsStoredNowhere) {
  const Json::Value record = Read("BEGIN:VCARD\r\nFN:Unique Formatted Name\r\nEND:VCARD\r\n");
  EXPECT_EQ(std::string::npos, record.toStyledString().find("Unique Formatted Name"));
  EXPECT_EQ("BEGIN:VCARD\r\n", record["other"].asString());
  // The dropped line still counts: a line after it does not continue an earlier note.
  EXPECT_EQ("n", Read("NOTE:n\r\nFN:x\r\ntail\r\n")["note"].asString());
}

TEST_F(VCardReader, TitleAndBirthdayAreTakenAsWritten) {
  const Json::Value record = Read("TITLE: Chief \\, Boss\r\nBDAY:--0412\r\n");
  EXPECT_EQ(" Chief \\, Boss", record["company"]["title"].asString());
  EXPECT_EQ("--0412", record["bday"].asString());
  const Json::Value parameterised = Read("BDAY;VALUE=date:1980-01-01\r\nTITLE;LANGUAGE=de:X\r\n");
  EXPECT_FALSE(parameterised.isMember("bday"));
  EXPECT_EQ("", parameterised["company"]["title"].asString());
  EXPECT_EQ("BDAY;VALUE=date:1980-01-01\r\nTITLE;LANGUAGE=de:X\r\n",
            parameterised["other"].asString());
}

TEST_F(VCardReader, EmailTelephoneAndAddressNeedParametersToBeTakenApart) {
  const Json::Value record =
      Read("EMAIL:a@example.com\r\nTEL:555\r\nADR:;;Street;Town;;;\r\nitem1.TEL:1\r\n");
  EXPECT_TRUE(record["mail"].empty());
  EXPECT_TRUE(record["tel"].empty());
  EXPECT_FALSE(record.isMember("adr"));
  EXPECT_EQ("EMAIL:a@example.com\r\nTEL:555\r\nADR:;;Street;Town;;;\r\nitem1.TEL:1\r\n",
            record["other"].asString());
}

TEST_F(VCardReader, TypesAreReadInAnyCaseAndKeptAsWritten) {
  const Json::Value record = Read(
      "EMAIL;TYPE=HOME;Type=pref:a@example.com\r\nTEL;tYpE=CELL:1\r\n"
      "ADR;TYPE=HOME:;;x;;;;\r\n");
  EXPECT_EQ(Entry("EMAIL", "EMAIL", {"HOME", "pref"}, "a@example.com"), record["mail"][0]);
  EXPECT_EQ(Entry("TEL", "TEL", {"CELL"}, "1"), record["tel"][0]);
  EXPECT_EQ(Entry("ADR", "ADR", {"HOME"}, ";;x;;;;"), record["adr"][0]);
}

TEST_F(VCardReader, TelephoneCommasSplitTypeListsButMailKeepsThem) {
  const Json::Value record = Read(
      "TEL;type=CELL,VOICE:+1 555 0100\r\nEMAIL;type=INTERNET,HOME:x@example.com\r\n"
      "TEL;WORK;VOICE:(111) 555-1212\r\n");
  EXPECT_EQ(Entry("TEL", "TEL", {"CELL"}, "+1 555 0100"), record["tel"][0]);
  EXPECT_EQ(Entry("TEL", "TEL", {}, "(111) 555-1212"), record["tel"][1]);
  EXPECT_EQ(Entry("EMAIL", "EMAIL", {"INTERNET,HOME"}, "x@example.com"), record["mail"][0]);
}

TEST_F(VCardReader, ValuesWithDelimitersKeepTheirLastPiece) {
  // Delimiters inside a value are not escapes to this reader: the last piece wins.
  const Json::Value record =
      Read("EMAIL;TYPE=INTERNET:semicolon\\;@points.net\r\nTEL;TYPE=HOME:555,0100\r\n");
  EXPECT_EQ("@points.net", record["mail"][0]["data"].asString());
  EXPECT_EQ("0100", record["tel"][0]["data"].asString());
}

TEST_F(VCardReader, EmptyValuesAddNoEntry) {
  const Json::Value record = Read(
      "EMAIL;TYPE=HOME:\r\nEMAIL;TYPE=HOME\r\nTEL;TYPE=CELL:\r\nTEL;\r\nADR;TYPE=HOME:\r\n"
      "ADR;TYPE=HOME\r\nURL;TYPE=WORK:\r\nURL:\r\nitem1.EMAIL;type=INTERNET:;;\r\n");
  EXPECT_TRUE(record["mail"].empty());
  EXPECT_TRUE(record["tel"].empty());
  EXPECT_FALSE(record.isMember("adr"));
  EXPECT_FALSE(record.isMember("url"));
  EXPECT_EQ("", record["other"].asString());
}

TEST_F(VCardReader, WebAddressKeepsItsColonsWithAnyNumberOfParameters) {
  const Json::Value record = Read(
      "URL:http://example.com:8080/a\r\n"
      "item2.URL;type=pref:http://example.org/b\r\n"
      "URL;TYPE=WORK;TYPE=pref:https://example.net:8443/c?d=e\r\n"
      "URL;WORK:http://web-page-address.com\r\n"
      "item2.X-ABLabel:_$!<HomePage>!$_\r\n");
  EXPECT_EQ(Array({
                Entry("URL", "URL", {}, "http://example.com:8080/a"),
                Entry("item2.URL", "HomePage", {"pref"}, "http://example.org/b"),
                Entry("URL", "URL", {"WORK", "pref"}, "https://example.net:8443/c?d=e"),
                Entry("URL", "URL", {}, "http://web-page-address.com"),
            }),
            record["url"]);
}

TEST_F(VCardReader, AddressValueEndsAtTheNextColonAndTakesOnlyTypeParameters) {
  const Json::Value record =
      Read("ADR;HOME;CHARSET=UTF-8;type=work;;TYPE=pref:;;Street 1;Town:Part;;;\r\n");
  EXPECT_EQ(Array({Entry("ADR", "ADR", {"work", "pref"}, ";;Street 1;Town")}), record["adr"]);
}

TEST_F(VCardReader, LineAfterAnAddressWithoutValueGoesToOtherWhenNoAddressExists) {
  const Json::Value alone = Read("ADR;TYPE=HOME:\r\nSomewhere Street\r\nNext line\r\n");
  EXPECT_FALSE(alone.isMember("adr"));
  EXPECT_EQ("Somewhere Street\r\nNext line\r\n", alone["other"].asString());

  // With an earlier address the empty one is still the address line, so the last entry grows.
  const Json::Value earlier = Read("ADR;TYPE=WORK:;;One;;;;\r\nADR;TYPE=HOME:\r\nTwo\r\n");
  EXPECT_EQ(Array({Entry("ADR", "ADR", {"WORK"}, ";;One;;;; Two")}), earlier["adr"]);
  EXPECT_EQ("", earlier["other"].asString());

  // A line that is not directly after the address line is not joined.
  const Json::Value gap = Read("ADR;TYPE=WORK:;;One;;;;\r\nX-A:b\r\nTwo\r\n");
  EXPECT_EQ(";;One;;;;", gap["adr"][0]["data"].asString());
  EXPECT_EQ("X-A:b\r\nTwo\r\n", gap["other"].asString());
}

TEST_F(VCardReader, GroupLabelsComeFromEitherLabelLineOfTheSameCard) {
  // The label line may come before or after its property; a later label line replaces an
  // earlier one of either kind; both label forms are read; a group without label gets null.
  const Json::Value record = Read(
      "item1.X-ABLabel:_$!<Home>!$_\r\n"
      "item1.EMAIL;type=INTERNET:a@example.com\r\n"
      "item2.TEL;type=CELL:1\r\n"
      "item2.X-ABLabel:Old\r\n"
      "item2.X-ABADR:New\r\n"
      "item3.EMAIL;type=INTERNET:b@example.com\r\n"
      "item4.EMAIL;type=INTERNET:c@example.com\r\n"
      "item4.X-ABLabel:<only open\r\n"
      "item5.EMAIL;type=INTERNET:d@example.com\r\n"
      "item5.X-ABLabel:\r\n");
  EXPECT_EQ(Entry("item1.EMAIL", "Home", {"INTERNET"}, "a@example.com"), record["mail"][0]);
  EXPECT_EQ(Entry("item2.TEL", "New", {"CELL"}, "1"), record["tel"][0]);
  EXPECT_EQ(Entry("item3.EMAIL", kNull, {"INTERNET"}, "b@example.com"), record["mail"][1]);
  EXPECT_EQ(Entry("item4.EMAIL", "only open", {"INTERNET"}, "c@example.com"), record["mail"][2]);
  EXPECT_EQ(Entry("item5.EMAIL", "", {"INTERNET"}, "d@example.com"), record["mail"][3]);
  EXPECT_TRUE(record["mail"][1].isMember("cust_name"));
}

TEST_F(VCardReader, TheReaderItselfKeepsLabelsUntilTheMapIsEmptied) {
  // Emptying the map between cards is the listing's step; the scan only adds and replaces.
  handler.ParseCardLabel(ExactCopy("item1.X-ABLabel:_$!<Work>!$_\r\n").get());
  const Json::Value record = ReadTextOnly("item1.EMAIL;type=INTERNET:a@example.com\r\n");
  EXPECT_EQ("Work", record["mail"][0]["cust_name"].asString());
}

TEST_F(VCardReader, TextAfterTheEndIsNotRead) {
  const Json::Value record = Read(kDesktopCard);
  EXPECT_EQ("Met at the conference", record["note"].asString());
  EXPECT_EQ("Doe", record["name"]["family_name"].asString());
  // Any line beginning with END stops the card, even one that is not END:VCARD.
  EXPECT_EQ("", Read("ENDING:x\r\nN:Doe\r\n")["name"]["family_name"].asString());
}

TEST_F(VCardReader, TruncatedAndDamagedCardsAlwaysGiveAWellFormedRecord) {
  // Every prefix of realistic cards, then random damage with the characters the scanner
  // reacts to; each in a buffer of exactly its size.
  const std::vector<std::string> cards = {
      kPhoneCard, kDesktopCard, ReadFile(SamplesDir() + "/eds-v30-evil-folding-escapes.vcf"),
      ReadFile(SamplesDir() + "/google-gmail-v30-ablabel.vcf")};
  for (const std::string& card : cards) {
    for (size_t length = 0; length <= card.size(); ++length) {
      ASSERT_TRUE(WellFormed(Read(card.substr(0, length)))) << "prefix " << length;
    }
  }
  std::mt19937 random(20240601);
  const char special[] = "\r\n:;.,<>= \t\xC3\xA9";
  for (int round = 0; round < 3000; ++round) {
    std::string card = cards[round % cards.size()];
    const int edits = 1 + static_cast<int>(random() % 12);
    for (int e = 0; e < edits && !card.empty(); ++e) {
      const size_t at = random() % card.size();
      switch (random() % 3) {
        case 0:
          card[at] = special[random() % (sizeof special - 1)];
          break;
        case 1:
          card.erase(at, 1 + random() % 8);
          break;
        default:
          card.insert(at, 1, special[random() % (sizeof special - 1)]);
      }
    }
    ASSERT_TRUE(WellFormed(Read(card))) << "round " << round;
  }
}

// The real sample files: each parses into a well-formed record that holds what the file says.
class VCardSamples : public VCardReader {
 protected:
  void SetUp() override {
    if (!std::filesystem::is_directory(SamplesDir())) {
      GTEST_SKIP() << "no sample folder at " << SamplesDir();
    }
  }
};

TEST_F(VCardSamples, EverySampleGivesAWellFormedRecord) {
  int files = 0;
  for (const auto& item : std::filesystem::directory_iterator(SamplesDir())) {
    if (item.path().extension() != ".vcf") continue;
    ++files;
    const Json::Value record = ReadSample(item.path().filename());
    EXPECT_TRUE(WellFormed(record)) << item.path();
  }
  EXPECT_EQ(27, files);
}

TEST_F(VCardSamples, GmailExportWithLabelsAndFoldedNote) {
  const Json::Value r = ReadSample("google-gmail-v30-ablabel.vcf");
  EXPECT_EQ(Name("Doe", "John", "Richter\\, James"), r["name"]);
  EXPECT_EQ(Company("IBM", "Money Counter"), r["company"]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {"INTERNET", "HOME"}, "john.doe@ibm.com")}), r["mail"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"CELL"}, "905-555-1234"),
                   Entry("TEL", "TEL", {"HOME"}, "905-666-1234")}),
            r["tel"]);
  EXPECT_EQ(Array({Entry("ADR", "ADR", {"HOME"},
                         ";Crescent moon drive\\n555-asd\\nNice Area\\, Albaney\\, New York   "
                         "12345\\nUnited States of America;;;;;")}),
            r["adr"]);
  EXPECT_EQ(Array({Entry("URL", "URL", {"WORK"}, "http\\://www.ibm.com")}), r["url"]);
  EXPECT_EQ("1980-03-22", r["bday"].asString());
  const std::string note = r["note"].asString();
  EXPECT_EQ(0u, note.find("THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS "
                          "\\\"\n AS IS\\\" AND ANY"));
  // The fold line that holds a colon ends the note and stays in `other`.
  EXPECT_EQ(note.size() - 14, note.rfind("\\, EVEN IF ADV"));
  EXPECT_EQ(9, std::count(note.begin(), note.end(), '\n'));
  EXPECT_NE(std::string::npos,
            r["other"].asString().find("\r\n ISED OF THE POSSIBILITY OF SUCH DAMAGE.\\nFavotire "
                                       "Color: Blue\r\n"));
  EXPECT_NE(std::string::npos, r["other"].asString().find("item2.X-ABRELATEDNAMES:Jenny\r\n"));
}

TEST_F(VCardSamples, IphoneExportWithCrCrLfAndAddressLabels) {
  const Json::Value r = ReadSample("iphone-ios5-v30-photo-crcrlf.vcf");
  EXPECT_EQ(Name("Doe", "John", "Richter,James"), r["name"]);
  EXPECT_EQ(Company("IBM;Accounting", "Money Counter"), r["company"]);
  EXPECT_EQ(Array({Entry("item1.EMAIL", kNull, {"INTERNET", "pref"}, "john.doe@ibm.com")}),
            r["mail"]);
  ASSERT_EQ(6u, r["tel"].size());
  EXPECT_EQ(Entry("TEL", "TEL", {"CELL", "VOICE", "pref"}, "905-555-1234"), r["tel"][0]);
  EXPECT_EQ(Entry("TEL", "TEL", {"PAGER"}, "905-111-1234"), r["tel"][5]);
  EXPECT_EQ(Array({Entry("item3.ADR", "Silicon Alley", {"HOME", "pref"},
                         ";;Silicon Alley 5,;New York;New York;12345;United States of America"),
                   Entry("item4.ADR", "Street 4, Building 6,\\n Floor 8\\nNew York\\nUSA", {"WORK"},
                         ";;Street4\\nBuilding 6\\nFloor 8;New York;;12345;USA")}),
            r["adr"]);
  EXPECT_EQ(Array({Entry("item5.URL", "HomePage", {"pref"}, "http\\://www.ibm.com")}), r["url"]);
  EXPECT_FALSE(r.isMember("bday"));  // BDAY;value=date is kept verbatim
  const std::string other = r["other"].asString();
  EXPECT_NE(std::string::npos, other.find("item2.TEL:905-222-1234\r\n"));
  EXPECT_NE(std::string::npos, other.find("BDAY;value=date:2012-06-06\r\n"));
  EXPECT_EQ(std::string::npos, other.find("END:VCARD"));
  EXPECT_EQ(std::string::npos, other.find('\r' + std::string("\r")));
}

TEST_F(VCardSamples, MacAddressBookCardsWithLargePhotos) {
  const Json::Value big = ReadSample("apple-addressbook-v30-photo-156k.vcf");
  EXPECT_EQ(Name("Inc.", "Test", ""), big["name"]);
  EXPECT_EQ(Company("Test Inc.", ""), big["company"]);
  EXPECT_EQ(
      Array({Entry("EMAIL", "EMAIL", {"INTERNET", "WORK", "pref"}, "testinc_sf@example.com")}),
      big["mail"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"WORK", "pref"}, "777-777-7777")}), big["tel"]);
  EXPECT_EQ(Array({Entry("item1.ADR", "us", {"WORK", "pref"},
                         ";;3 TV Street;San Francisco;California;99999;US")}),
            big["adr"]);
  EXPECT_EQ(" Company with picture", big["note"].asString());
  EXPECT_GT(big["other"].asString().size(), 150000u);
  EXPECT_NE(std::string::npos, big["other"].asString().find("X-ABShowAs:COMPANY\r\n"));

  const Json::Value jp = ReadSample("apple-addressbook-v30-japanese-photo.vcf");
  EXPECT_EQ(Name("\xE5\xB1\xB1\xE5\x8F\xA3", "\xE3\x82\x82\xE3\x82\x82\xE3\x81\x88", ""),
            jp["name"]);
  EXPECT_EQ(";59620056", jp["company"]["org"].asString());
  EXPECT_EQ(Array({Entry("item2.URL", "HomePage", {"pref"}, "http://www.example.jp")}), jp["url"]);
  ASSERT_EQ(1u, jp["adr"].size());
  EXPECT_EQ("us", jp["adr"][0]["cust_name"].asString());
  EXPECT_NE(std::string::npos,
            jp["other"].asString().find("item3.X-JABBER;type=pref:jarch_apple@example.com\r\n"));
}

TEST_F(VCardSamples, OutlookExportsWithQuotedPrintableLabels) {
  const Json::Value us = ReadSample("outlook-2003-v21-key-blank-lines.vcf");
  EXPECT_EQ(Name("Doe", "John", ""), us["name"]);
  EXPECT_EQ(Company("Company, The;TheDepartment", "The Job Title"), us["company"]);
  EXPECT_EQ(
      Array({Entry("TEL", "TEL", {}, "BusinessPhone"), Entry("TEL", "TEL", {}, "HomePhone"),
             Entry("TEL", "TEL", {}, "MobilePhone"), Entry("TEL", "TEL", {}, "BusinessFaxPhone")}),
      us["tel"]);
  EXPECT_EQ(Array({Entry("ADR", "ADR", {},
                         ";TheOffice;123 Main St;Austin;TX;12345;United States of America")}),
            us["adr"]);
  // FBURL contains "URL;" and is read as a web address as well.
  EXPECT_EQ(
      Array({Entry("URL", "URL", {}, "http://web-page-address.com"),
             Entry("FBURL", "URL", {}, std::string(16, '?') + "s" + std::string(12, '?') + "=0C")}),
      us["url"]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {}, "jdoe@hotmail.com")}), us["mail"]);
  EXPECT_EQ("19800321", us["bday"].asString());
  EXPECT_EQ("", us["note"].asString());  // NOTE;ENCODING=... is kept verbatim
  EXPECT_NE(std::string::npos, us["other"].asString().find("REV:20121012T210525Z\r\n"));

  const Json::Value de = ReadSample("outlook-german-v21-photo.vcf");
  EXPECT_EQ(Name("", "", ""), de["name"]);  // N;LANGUAGE=de is kept verbatim
  EXPECT_EQ(Company("Musterfirma GmbH", "Musterposition"), de["company"]);
  EXPECT_EQ("Hier noch ein paar notizen", de["note"].asString());
  ASSERT_EQ(4u, de["tel"].size());
  EXPECT_EQ("+49 (0611) 123456 - 13", de["tel"][3]["data"].asString());
  EXPECT_EQ(";;Musterstrasse 12;Wiesbaden;Hessen;65201;Deutschland",
            de["adr"][0]["data"].asString());
  EXPECT_EQ("https://www.musterfirma.de", de["url"][0]["data"].asString());
  EXPECT_EQ("max.mustermann@musterfirma.de", de["mail"][0]["data"].asString());

  const Json::Value john = ReadSample("outlook-v21-qp-label-photo.vcf");
  EXPECT_EQ(Company("IBM;Accounting", "Money Counter"), john["company"]);
  EXPECT_EQ(0u, john["note"].asString().find("THIS SOFTWARE IS PROVIDED BY GEORGE EL-HADDAD"));
  ASSERT_EQ(2u, john["adr"].size());
  EXPECT_EQ("19800322", john["bday"].asString());
  EXPECT_EQ("john.doe@ibm.cm", john["mail"][0]["data"].asString());
  // The QP label's second line follows the LABEL line, not the address line.
  EXPECT_NE(std::string::npos, john["other"].asString().find("Albaney, New York  12345\r\n"));
}

TEST_F(VCardSamples, Version21CardsFromPhonesAndLinuxDesktops) {
  const Json::Value adr = ReadSample("aosp-v21-adr-backslash-continuation.vcf");
  EXPECT_EQ(Name("bogus", "", ""), adr["name"]);
  EXPECT_EQ(Array({Entry("URL", "URL", {}, "http://bogus.com/")}), adr["url"]);
  EXPECT_EQ(Array({Entry("ADR", "ADR", {}, ";;Grindelberg 999;Hamburg;;99999;Deutschland"),
                   Entry("ADR", "ADR", {},
                         ";;Hermann v. Brevern\\ 9999999\\ Packstation "
                         "999;Hamburg;;99999;Deutschland")}),
            adr["adr"]);
  EXPECT_FALSE(adr.isMember("bday"));

  const Json::Value complicated = ReadSample("aosp-v21-complicated-qp-empty-lines.vcf");
  EXPECT_EQ(Name("Gump", "Forrest", "Hoge"), complicated["name"]);
  EXPECT_EQ(Company("Gump Shrimp Co.;Sales Dept.\\;Manager;Fish keeper", "Shrimp Man"),
            complicated["company"]);
  ASSERT_EQ(5u, complicated["tel"].size());
  EXPECT_EQ("(111) 555-1212", complicated["tel"][0]["data"].asString());
  EXPECT_EQ("0333333333", complicated["tel"][4]["data"].asString());
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {}, "forrestgump@walladalla.com"),
                   Entry("EMAIL", "EMAIL", {}, "cell@example.com")}),
            complicated["mail"]);
  EXPECT_EQ("The following note is the example from RFC 2045.", complicated["note"].asString());

  const Json::Value nested = ReadSample("aosp-v21-nested-vcard.vcf");
  // The first END ends the card; the inner card's N replaced the outer one before it.
  EXPECT_EQ(Name("nest1", "", ""), nested["name"]);
  EXPECT_TRUE(nested["tel"].empty());

  const Json::Value evil = ReadSample("eds-v30-evil-folding-escapes.vcf");
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"VOICE"}, "M")}), evil["tel"]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {"INTERNET"}, "@points.net")}), evil["mail"]);
  EXPECT_EQ(Array({Entry("URL", "URL", {}, "http://home%32%20.earthlink.net/~fdawson")}),
            evil["url"]);
  ASSERT_EQ(2u, evil["adr"].size());
  EXPECT_EQ(Entry("ADR", "ADR", {"WORK,POSTAL,PARCEL"},
                  ";;Evil semicolon city\\;  ;Semicolon\\;way;NC;27613-3502;U.S.A."),
            evil["adr"][0]);
  // The whitespace-only line before END still continues the address.
  EXPECT_EQ("= ;= ;= Evil backslash \\\\ way;= Ulm;= Newlines\\nCountry\\Nevil;= 89073;=  ",
            evil["adr"][1]["data"].asString());

  const Json::Value noEnd = ReadSample("eds-v30-missing-end.vcf");
  EXPECT_EQ(Company("Lotus Development Corporation", ""), noEnd["company"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"VOICE"}, "+1-919-676-9515"),
                   Entry("TEL", "TEL", {"FAX"}, "+1-919-676-9564")}),
            noEnd["tel"]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {"INTERNET,PREF"}, "Frank_Dawson@Lotus.com"),
                   Entry("EMAIL", "EMAIL", {"INTERNET"}, "fdawson@earthlink.net")}),
            noEnd["mail"]);
  EXPECT_EQ(";;6544 Battleford Drive  ;Raleigh;NC;27613-3502;U.S.A.",
            noEnd["adr"][0]["data"].asString());
  EXPECT_EQ("http://home.earthlink.net/~fdawson", noEnd["url"][0]["data"].asString());

  const Json::Value leading = ReadSample("eds-v21-qp-leading-softbreaks.vcf");
  EXPECT_EQ(
      Array({Entry("TEL", "TEL", {}, "+491622433834"), Entry("TEL", "TEL", {}, "017623384942"),
             Entry("TEL", "TEL", {}, "+4973117546691")}),
      leading["tel"]);
  EXPECT_EQ("= ;= ;= M=C3=BCnsterplatz 21;= Ulm;= Baden-W=C3=BCrttemberg;= 89073;=",
            leading["adr"][0]["data"].asString());
  EXPECT_EQ("19781229", leading["bday"].asString());

  const Json::Value chinese = ReadSample("eds-v21-qp-chinese.vcf");
  EXPECT_EQ(4u, chinese["tel"].size());
  EXPECT_EQ("weird@weird.com", chinese["mail"][0]["data"].asString());
  EXPECT_NE(std::string::npos,
            chinese["other"].asString().find("\r\nUID:pas-id-3E52FE2E00000000\r\n"));

  const Json::Value kde = ReadSample("kcontacts-v21-qp-softbreak-multi.vcf");
  EXPECT_EQ(Company("Bike Shop", ""), kde["company"]);
  EXPECT_EQ(1u, kde["adr"].size());
  EXPECT_NE(std::string::npos,
            kde["other"].asString().find("Note:This one has a funny character at the end"));
}

TEST_F(VCardSamples, LowerCaseAndUnusualCardsKeepTheirLinesInOther) {
  // Property names are matched case-sensitively, so a lower-case card is kept whole.
  const Json::Value netscape = ReadSample("netscape-v21-lowercase.vcf");
  EXPECT_EQ(Name("", "", ""), netscape["name"]);
  EXPECT_EQ(
      "begin:vcard\r\nuid:ebvq9Wo9rO\r\nn:geiser;ian\r\nx-mozilla-html:FALSE\r\n"
      "org:Source eXtreme\r\nversion:2.1\r\nemail;internet:geiseri@yahoo.com\r\n"
      "title:VP of Engineering\r\nx-mozilla-cpt:;0\r\nfn:ian geiser\r\nend:vcard\r\n",
      netscape["other"].asString());

  const Json::Value legacy = ReadSample("thunderbird-legacy-v21-lowercase-export.vcf");
  EXPECT_TRUE(legacy["mail"].empty());
  EXPECT_NE(std::string::npos, legacy["other"].asString().find("contact2@invalid"));

  const Json::Value v4 = ReadSample("thunderbird-v40-export-raw-cr-tab.vcf");
  EXPECT_EQ(Name("one", "contact", ""), v4["name"]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {}, "contact1@invalid")}), v4["mail"]);

  const Json::Value sogo = ReadSample("sogo-v30-missing-n-fn.vcf");
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {"work"}, "test-misses-N-or-FN@example.com")}),
            sogo["mail"]);

  const Json::Value hebrew = ReadSample("hebrew-rtl-v21-utf8-bom.vcf");
  EXPECT_EQ(Name("Kishon", "Ephraim", ""), hebrew["name"]);
  EXPECT_EQ(
      "\xEF\xBB\xBF"
      "BEGIN:VCARD\r\nVERSION:2.1\r\n",
      hebrew["other"].asString());

  const Json::Value blackberry = ReadSample("blackberry-v21-photo-unfolded.vcf");
  EXPECT_EQ(Name("Doe", "john", ""), blackberry["name"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"CELL"}, "+96123456789")}), blackberry["tel"]);
  EXPECT_EQ("", blackberry["note"].asString());

  const Json::Value sortAs = ReadSample("aosp-v40-sort-as-japanese.vcf");
  EXPECT_EQ(Name("", "", ""), sortAs["name"]);
  EXPECT_EQ(0u, sortAs["other"].asString().find("BEGIN:VCARD\r\nVERSION:4.0\r\nN;SORT-AS="));

  const Json::Value multiple = ReadSample("aosp-v21-multiple-entries-blank-lines.vcf");
  ASSERT_EQ(4u, multiple["tel"].size());
  EXPECT_EQ("12", multiple["tel"][3]["data"].asString());

  // UTF-16 text reaches the reader only up to its first zero byte.
  const Json::Value utf16 = ReadSample("v30-utf16le-bom-crlf.vcf");
  EXPECT_EQ(
      "\xFF\xFE"
      "B\r\n",
      utf16["other"].asString());
}

}  // namespace
