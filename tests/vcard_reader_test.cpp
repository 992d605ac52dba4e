// The vCard reader on cards as phones and desktop address books write them, on the rules for each
// kind of line, on damaged and truncated text, and on the real sample files.
#include <json/writer.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "card_model.h"
#include "records.h"
#include "test_env.h"

using namespace testenv;

namespace {

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

// A heap buffer of exactly the text, so that AddressSanitizer sees any read past the end.
std::unique_ptr<char[]> ExactCopy(const std::string& text) {
  std::unique_ptr<char[]> buffer(new char[text.size()]);
  std::memcpy(buffer.get(), text.data(), text.size());
  return buffer;
}

class VCardReader : public ::testing::Test {
 protected:
  // As the listing reads a card.
  Json::Value Read(const std::string& text) {
    const std::unique_ptr<char[]> copy = ExactCopy(text);
    return card::ReadRecord(std::string_view(copy.get(), text.size()));
  }

  Json::Value ReadSample(const std::string& file) {
    const std::string path = SampleFolder() + "/" + file;
    if (!FileExists(path)) ADD_FAILURE() << "sample missing: " << path;
    return Read(ReadFile(path));
  }
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
    "NOTE:Erste Zeile\\nzweite\r\n"
    "  Zeile\\ndritte Zeile\r\n"
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
      Entry("TEL", "TEL", {"WORK", "VOICE"}, "+49 30 1234-0"),
      Entry("item3.TEL", kNull, {"VOICE"}, "+49 30 9999"),
  });
  // X-ABADR holds the address's country code, which is no label.
  expected["adr"] = Array({Entry("item4.ADR", kNull, {"HOME", "pref"},
                                 ";;Hauptstra\xC3\x9F"
                                 "e 5;Berlin;;10115;Deutschland")});
  expected["url"] = Array({Entry("item5.URL", "HomePage", {"pref"}, "https://beispiel.de/team")});
  expected["bday"] = "1975-04-12";
  expected["note"] = "Erste Zeile\\nzweite Zeile\\ndritte Zeile";
  expected["other"] =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//iPhone OS 17.1//EN\r\n"
      "item1.X-ABLabel:_$!<Work>!$_\r\nitem2.X-ABLabel:Privat\r\nitem4.X-ABADR:de\r\n"
      "item5.X-ABLabel:_$!<HomePage>!$_\r\nUID:6F3B2C1A-0000-4000-8000-00000000A001\r\n";
  EXPECT_EQ(expected, Read(kPhoneCard));
}

TEST_F(VCardReader, DesktopCardTakesEveryEntryAndStopsAtTheFirstEnd) {
  Json::Value expected(Json::objectValue);
  expected["name"] = Name("Doe", "John", "");
  expected["company"] = Company("Example Corp", "Engineer");
  expected["mail"] = Array({Entry("EMAIL", "EMAIL", {"INTERNET", "WORK"}, "john.doe@example.com"),
                            Entry("EMAIL", "EMAIL", {}, "plain@example.com")});
  expected["tel"] =
      Array({Entry("TEL", "TEL", {"HOME"}, "555-0100"), Entry("TEL", "TEL", {}, "555-0199")});
  expected["adr"] = Array({
      Entry("ADR", "ADR", {"WORK"}, ";;1 Main Street;Springfield;IL;62701;USA"),
      Entry("ADR", "ADR", {"HOME", "POSTAL"}, ";;22 Elm Road;Shelbyville;;;"),
  });
  expected["url"] = Array({
      Entry("URL", "URL", {}, "http://example.com/john"),
      Entry("URL", "URL", {"WORK", "PREF"}, "https://corp.example.com:8443/people?id=7"),
  });
  expected["note"] = "Met at the conference";
  // A line without a colon is no property: kept whole, never glued to another value.
  expected["other"] =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nBuilding 4\r\nFloor 2\r\nREV:2024-01-01T00:00:00Z\r\n";
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
}

TEST_F(VCardReader, NameTakesTheFirstThreeComponentsOfTheFirstNameLine) {
  EXPECT_EQ(Name("Doe", "John", ""), Read("N:Doe;John;;;\r\n")["name"]);
  EXPECT_EQ(Name("Doe", "John", ""), Read("N:Doe;John\r\n")["name"]);
  EXPECT_EQ(Name("Doe", "", ""), Read("N:Doe\r\n")["name"]);
  EXPECT_EQ(Name("", "", ""), Read("N:\r\n")["name"]);
  EXPECT_EQ(Name("", "Conference Call", ""), Read("N:;Conference Call\r\n")["name"]);
  EXPECT_EQ(Name("Gump", "Forrest", "Hoge"), Read("N:Gump;Forrest;Hoge;Pos;Tao\r\n")["name"]);
  // Parameters, case and escapes: an escaped ';' is no separator and the escapes stay.
  EXPECT_EQ(Name("M\xC3\xBC", "Max", ""), Read("N;LANGUAGE=de:M\xC3\xBC;Max;;;\r\n")["name"]);
  EXPECT_EQ(Name("Doe", "John", "Richter\\, James"),
            Read("n;CHARSET=UTF-8:Doe;John;Richter\\, James;Mr.;Sr.\r\n")["name"]);
  EXPECT_EQ(Name("A\\;B", "C", ""), Read("N:A\\;B;C\r\n")["name"]);
  // The first N line fills the name; a later one is kept whole in `other`.
  const Json::Value twice = Read("N:First;One\r\nN;CHARSET=UTF-8:Third;Three\r\n");
  EXPECT_EQ(Name("First", "One", ""), twice["name"]);
  EXPECT_EQ("N;CHARSET=UTF-8:Third;Three\r\n", twice["other"].asString());
}

TEST_F(VCardReader, OrganisationLosesOnlyOneTrailingSeparator) {
  EXPECT_EQ("Example Corp", Read("ORG:Example Corp;\r\n")["company"]["org"].asString());
  EXPECT_EQ("A;B", Read("ORG:A;B\r\n")["company"]["org"].asString());
  EXPECT_EQ("A;", Read("ORG:A;;\r\n")["company"]["org"].asString());
  EXPECT_EQ("", Read("ORG:;\r\n")["company"]["org"].asString());
  EXPECT_EQ("", Read("ORG:\r\n")["company"]["org"].asString());
  EXPECT_EQ("A\\;", Read("ORG:A\\;\r\n")["company"]["org"].asString());
  EXPECT_EQ("ABC\\, Inc.", Read("ORG;LANGUAGE=en:ABC\\, Inc.\r\n")["company"]["org"].asString());
}

TEST_F(VCardReader, FoldedLinesAreOneValueWhateverTheirParameters) {
  // A break and exactly one space or tab go; a second space is data.
  const Json::Value record = Read(
      "NOTE;CHARSET=UTF-8:first\r\n  second\r\n\tthird\r\nEMAIL:john.do\r\n e@example.com\r\n"
      "TEL;TYPE=\r\n\tCELL:905-666-1\r\n 234\r\nNote:second note\r\n");
  EXPECT_EQ("first secondthird", record["note"].asString());
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {}, "john.doe@example.com")}), record["mail"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"CELL"}, "905-666-1234")}), record["tel"]);
  // A second note stays whole in `other`; a continuation holding a colon is never a property.
  EXPECT_EQ("Note:second note\r\n", record["other"].asString());
  const Json::Value colon = Read("NOTE:a\r\n X-EVIL:1\r\n");
  EXPECT_EQ("aX-EVIL:1", colon["note"].asString());
  EXPECT_EQ("", colon["other"].asString());
}

TEST_F(VCardReader, QuotedPrintableValuesAreDecodedInTheirCharset) {
  const Json::Value record = Read(
      "NOTE;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:=E5=8D=81=E4=BA=8C=0D=0A=\r\n"
      "second line\r\n"
      "TITLE;CHARSET=SHIFT_JIS;QUOTED-PRINTABLE:=83=65=83=58=83=67\r\n"
      "ORG;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller =3D AG\r\n"
      "item1.TEL;quoted-printable;WORK:=31=32\r\n");
  EXPECT_EQ("\xE5\x8D\x81\xE4\xBA\x8C\\nsecond line", record["note"].asString());
  EXPECT_EQ("\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", record["company"]["title"].asString());
  EXPECT_EQ("M\xC3\xBCller = AG", record["company"]["org"].asString());
  EXPECT_EQ(Array({Entry("item1.TEL", kNull, {"WORK"}, "12")}), record["tel"]);
}

TEST_F(VCardReader, ALineThatNamesItsCharsetIsReadInItAlone) {
  // As an Android export ends a long UTF-8 value: a lone continuation byte after the last soft
  // break. It alone becomes U+FFFD; the letters before it stay letters.
  std::string text = "ORG;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:";
  std::string letters;
  for (int i = 0; i < 44; ++i) {
    text += "=C3=91";
    letters += "\xC3\x91";
    if (i % 15 == 14) text += "=\r\n";
  }
  text += "=\r\n=80\r\n";
  // Another named set, and a line that names none (guessed: not UTF-8, so windows-1252).
  text +=
      "NOTE;CHARSET=ISO-8859-7;ENCODING=QUOTED-PRINTABLE:=E1=FF=E2\r\n"
      "TITLE;ENCODING=QUOTED-PRINTABLE:caf=E9\r\n";
  const Json::Value record = Read(text);
  EXPECT_EQ(letters + "\xEF\xBF\xBD", record["company"]["org"].asString());
  EXPECT_EQ("\xCE\xB1\xEF\xBF\xBD\xCE\xB2", record["note"].asString());
  EXPECT_EQ("caf\xC3\xA9", record["company"]["title"].asString());
}

TEST_F(VCardReader, FormattedNameIsStoredNowhere) {
  const Json::Value record = Read("BEGIN:VCARD\r\nFN:Unique Formatted Name\r\nEND:VCARD\r\n");
  EXPECT_EQ(std::string::npos, record.toStyledString().find("Unique Formatted Name"));
  EXPECT_EQ("BEGIN:VCARD\r\n", record["other"].asString());
  EXPECT_EQ("n", Read("NOTE:n\r\nFN:x\r\ntail\r\n")["note"].asString());
}

TEST_F(VCardReader, TitleAndBirthdayAreTakenAsWrittenWithAnyParameters) {
  const Json::Value record = Read("TITLE: Chief \\, Boss\r\nBDAY:--0412\r\n");
  EXPECT_EQ(" Chief \\, Boss", record["company"]["title"].asString());
  EXPECT_EQ("--0412", record["bday"].asString());
  const Json::Value parameterised = Read("BDAY;VALUE=DATE:20081203\r\nTITLE;LANGUAGE=de:X\r\n");
  EXPECT_EQ("20081203", parameterised["bday"].asString());
  EXPECT_EQ("X", parameterised["company"]["title"].asString());
  EXPECT_EQ("", parameterised["other"].asString());
}

TEST_F(VCardReader, EntriesAreKnownByTheirPropertyNameOnly) {
  const Json::Value record = Read(
      "EMAIL:a@example.com\r\nTEL:555\r\nADR:;;Street;Town;;;\r\nitem1.TEL:1\r\n"
      "tel;type=cell:2\r\nX-CUSTOM:call TEL;555\r\nPHOTO;VALUE=URL:http://example.com/p.jpg\r\n"
      "X-EMAIL;TYPE=INTERNET:not@an.entry\r\n");
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {}, "a@example.com")}), record["mail"]);
  EXPECT_EQ(Array({Entry("TEL", "TEL", {}, "555"), Entry("item1.TEL", kNull, {}, "1"),
                   Entry("tel", "TEL", {"cell"}, "2")}),
            record["tel"]);
  EXPECT_EQ(Array({Entry("ADR", "ADR", {}, ";;Street;Town;;;")}), record["adr"]);
  EXPECT_FALSE(record.isMember("url"));
  EXPECT_EQ(
      "X-CUSTOM:call TEL;555\r\nPHOTO;VALUE=URL:http://example.com/p.jpg\r\n"
      "X-EMAIL;TYPE=INTERNET:not@an.entry\r\n",
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

TEST_F(VCardReader, TypeListsAreSplitInEveryForm) {
  const Json::Value record = Read(
      "TEL;type=CELL,VOICE:+1 555 0100\r\nEMAIL;type=INTERNET,HOME:x@example.com\r\n"
      "TEL;WORK;VOICE:(111) 555-1212\r\nTEL;TYPE=\"HOME,FAX\";X-SERVICE=a:3\r\n"
      "EMAIL;ENCODING=8BIT;INTERNET;CHARSET=UTF-8:y@example.com\r\n");
  EXPECT_EQ(Entry("TEL", "TEL", {"CELL", "VOICE"}, "+1 555 0100"), record["tel"][0]);
  EXPECT_EQ(Entry("TEL", "TEL", {"WORK", "VOICE"}, "(111) 555-1212"), record["tel"][1]);
  EXPECT_EQ(Entry("TEL", "TEL", {"HOME", "FAX"}, "3"), record["tel"][2]);
  EXPECT_EQ(Entry("EMAIL", "EMAIL", {"INTERNET", "HOME"}, "x@example.com"), record["mail"][0]);
  EXPECT_EQ(Entry("EMAIL", "EMAIL", {"INTERNET"}, "y@example.com"), record["mail"][1]);
}

TEST_F(VCardReader, ValuesAreKeptWholeWithTheirEscapes) {
  const Json::Value record = Read(
      "EMAIL;TYPE=INTERNET:semicolon\\;@points.net\r\nTEL;TYPE=HOME:555,0100\r\n"
      "ADR;HOME;CHARSET=UTF-8;type=work;;TYPE=pref:;;Street 1;Town:Part;;;\r\n");
  EXPECT_EQ("semicolon\\;@points.net", record["mail"][0]["data"].asString());
  EXPECT_EQ("555,0100", record["tel"][0]["data"].asString());
  EXPECT_EQ(Array({Entry("ADR", "ADR", {"HOME", "work", "pref"}, ";;Street 1;Town:Part;;;")}),
            record["adr"]);
}

TEST_F(VCardReader, EmptyValuesAddNoEntryAndBrokenLinesStayInOther) {
  const Json::Value record = Read(
      "EMAIL;TYPE=HOME:\r\nEMAIL;TYPE=HOME\r\nTEL;TYPE=CELL:\r\nTEL;\r\nADR;TYPE=HOME:\r\n"
      "Somewhere Street\r\nURL;TYPE=WORK:\r\nURL:\r\n");
  EXPECT_TRUE(record["mail"].empty());
  EXPECT_TRUE(record["tel"].empty());
  EXPECT_FALSE(record.isMember("adr"));
  EXPECT_FALSE(record.isMember("url"));
  EXPECT_EQ("EMAIL;TYPE=HOME\r\nTEL;\r\nSomewhere Street\r\n", record["other"].asString());
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
                Entry("URL", "URL", {"WORK"}, "http://web-page-address.com"),
            }),
            record["url"]);
}

TEST_F(VCardReader, GroupLabelsComeFromTheLabelLinesOfTheSameCard) {
  // The label line may come before or after its property; a later label line replaces an
  // earlier one; both label forms are read; a group without label gets null.
  const Json::Value record = Read(
      "item1.X-ABLabel:_$!<Home>!$_\r\n"
      "item1.EMAIL;type=INTERNET:a@example.com\r\n"
      "item2.TEL;type=CELL:1\r\n"
      "item2.X-ABLabel:Old\r\n"
      "item2.X-ABLabel:New\r\n"
      "item2.X-ABADR:se\r\n"
      "item3.EMAIL;type=INTERNET:b@example.com\r\n"
      "item4.EMAIL;type=INTERNET:c@example.com\r\n"
      "item4.X-ABLabel:<only open\r\n"
      "item5.EMAIL;type=INTERNET:d@example.com\r\n"
      "item5.x-ablabel:\r\n");
  EXPECT_EQ(Entry("item1.EMAIL", "Home", {"INTERNET"}, "a@example.com"), record["mail"][0]);
  EXPECT_EQ(Entry("item2.TEL", "New", {"CELL"}, "1"), record["tel"][0]);
  EXPECT_EQ(Entry("item3.EMAIL", kNull, {"INTERNET"}, "b@example.com"), record["mail"][1]);
  EXPECT_EQ(Entry("item4.EMAIL", "only open", {"INTERNET"}, "c@example.com"), record["mail"][2]);
  EXPECT_EQ(Entry("item5.EMAIL", "", {"INTERNET"}, "d@example.com"), record["mail"][3]);
  EXPECT_TRUE(record["mail"][1].isMember("cust_name"));
}

TEST_F(VCardReader, TextAfterTheEndIsNotRead) {
  const Json::Value record = Read(kDesktopCard);
  EXPECT_EQ("Met at the conference", record["note"].asString());
  EXPECT_EQ("Doe", record["name"]["family_name"].asString());
  // Only the END property stops the card, in any case.
  const Json::Value ending = Read("ENDING:x\r\nN:Doe\r\nend:vcard\r\nN:Later\r\n");
  EXPECT_EQ("Doe", ending["name"]["family_name"].asString());
  EXPECT_EQ("ENDING:x\r\n", ending["other"].asString());
}

TEST_F(VCardReader, TruncatedAndDamagedCardsAlwaysGiveAWellFormedRecord) {
  // Every prefix of realistic cards, then random damage with the characters the scanner
  // reacts to; each in a buffer of exactly its size.
  const std::vector<std::string> cards = {kPhoneCard, kDesktopCard,
                                          SampleFile("eds-v30-evil-folding-escapes.vcf"),
                                          SampleFile("google-gmail-v30-ablabel.vcf")};
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
    if (!std::filesystem::is_directory(SampleFolder())) {
      GTEST_SKIP() << "no sample folder at " << SampleFolder();
    }
  }
};

TEST_F(VCardSamples, EverySampleGivesAWellFormedRecord) {
  int files = 0;
  for (const auto& item : std::filesystem::directory_iterator(SampleFolder())) {
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
  EXPECT_EQ(Array({Entry("URL", "URL", {"WORK"}, "http\\://www.ibm.com")}), r["url"]);
  EXPECT_EQ("1980-03-22", r["bday"].asString());
  // The folded note is one value: its fold lines, one holding a colon, are part of it.
  const std::string note = r["note"].asString();
  EXPECT_EQ(0u, note.find("THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS AND CONTRIBUTORS "
                          "\\\"AS IS\\\" AND ANY"));
  EXPECT_NE(std::string::npos, note.find("POSSIBILITY OF SUCH DAMAGE.\\nFavotire Color: Blue"));
  EXPECT_EQ(std::string::npos, note.find('\n'));
  EXPECT_EQ(std::string::npos, r["other"].asString().find("Favotire"));
  EXPECT_NE(std::string::npos, r["other"].asString().find("item2.X-ABRELATEDNAMES:Jenny\r\n"));
}

TEST_F(VCardSamples, IphoneExportWithCrCrLfAndAddressLabels) {
  const Json::Value r = ReadSample("iphone-ios5-v30-photo-crcrlf.vcf");
  EXPECT_EQ(Name("Doe", "John", "Richter,James"), r["name"]);
  EXPECT_EQ(Company("IBM;Accounting", "Money Counter"), r["company"]);
  EXPECT_EQ(Array({Entry("item1.EMAIL", kNull, {"INTERNET", "pref"}, "john.doe@ibm.com")}),
            r["mail"]);
  ASSERT_EQ(7u, r["tel"].size());
  EXPECT_EQ(Entry("TEL", "TEL", {"CELL", "VOICE", "pref"}, "905-555-1234"), r["tel"][0]);
  EXPECT_EQ(Entry("TEL", "TEL", {"PAGER"}, "905-111-1234"), r["tel"][5]);
  EXPECT_EQ(Entry("item2.TEL", "AssistantPhone", {}, "905-222-1234"), r["tel"][6]);
  EXPECT_EQ(Array({Entry("item5.URL", "HomePage", {"pref"}, "http\\://www.ibm.com")}), r["url"]);
  EXPECT_EQ("2012-06-06", r["bday"].asString());
  const std::string other = r["other"].asString();
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
  EXPECT_EQ(Array({Entry("item1.ADR", kNull, {"WORK", "pref"},
                         ";;3 TV Street;San Francisco;California;99999;US")}),
            big["adr"]);
  EXPECT_EQ(" Company with picture", big["note"].asString());
  // The photo is one unfolded line of `other`.
  EXPECT_GT(big["other"].asString().size(), 140000u);
  EXPECT_NE(std::string::npos, big["other"].asString().find("X-ABShowAs:COMPANY\r\n"));

  const Json::Value jp = ReadSample("apple-addressbook-v30-japanese-photo.vcf");
  EXPECT_EQ(Name("\xE5\xB1\xB1\xE5\x8F\xA3", "\xE3\x82\x82\xE3\x82\x82\xE3\x81\x88", ""),
            jp["name"]);
  EXPECT_EQ(Array({Entry("item2.URL", "HomePage", {"pref"}, "http://www.example.jp")}), jp["url"]);
  ASSERT_EQ(1u, jp["adr"].size());
  EXPECT_NE(std::string::npos,
            jp["other"].asString().find("item3.X-JABBER;type=pref:jarch_apple@example.com\r\n"));
}

TEST_F(VCardSamples, OutlookExportsWithQuotedPrintableValues) {
  const Json::Value us = ReadSample("outlook-2003-v21-key-blank-lines.vcf");
  EXPECT_EQ(Name("Doe", "John", ""), us["name"]);
  EXPECT_EQ(Company("Company, The;TheDepartment", "The Job Title"), us["company"]);
  ASSERT_EQ(4u, us["tel"].size());
  EXPECT_EQ(Entry("TEL", "TEL", {"WORK", "VOICE"}, "BusinessPhone"), us["tel"][0]);
  // FBURL is no web address.
  EXPECT_EQ(Array({Entry("URL", "URL", {"WORK"}, "http://web-page-address.com")}), us["url"]);
  EXPECT_EQ("19800321", us["bday"].asString());
  EXPECT_EQ("This is the note field!!\\nSecond line\\n\\nThird line is empty\\n",
            us["note"].asString());

  const Json::Value de = ReadSample("outlook-german-v21-photo.vcf");
  EXPECT_EQ(Name("Mustermann", "Max", "Anderer"), de["name"]);
  EXPECT_EQ(Company("Musterfirma GmbH", "Musterposition"), de["company"]);
  EXPECT_EQ("Hier noch ein paar notizen", de["note"].asString());
  ASSERT_EQ(4u, de["tel"].size());
  EXPECT_EQ("+49 (0611) 123456 - 13", de["tel"][3]["data"].asString());

  const Json::Value john = ReadSample("outlook-v21-qp-label-photo.vcf");
  EXPECT_EQ(Company("IBM;Accounting", "Money Counter"), john["company"]);
  EXPECT_EQ(0u, john["note"].asString().find("THIS SOFTWARE IS PROVIDED BY GEORGE EL-HADDAD"));
  ASSERT_EQ(2u, john["adr"].size());
  // The quoted-printable label stays one line of `other`, its soft breaks joined.
  EXPECT_NE(std::string::npos, john["other"].asString().find("=0D=0AAlbaney, New York  12345\r\n"));
}

TEST_F(VCardSamples, Version21CardsFromPhonesAndLinuxDesktops) {
  const Json::Value complicated = ReadSample("aosp-v21-complicated-qp-empty-lines.vcf");
  EXPECT_EQ(Name("Gump", "Forrest", "Hoge"), complicated["name"]);
  EXPECT_EQ(Company("Gump Shrimp Co.;Sales Dept.\\;Manager;Fish keeper", "Shrimp Man"),
            complicated["company"]);
  ASSERT_EQ(5u, complicated["tel"].size());
  EXPECT_EQ(Entry("TEL", "TEL", {"WORK", "VOICE"}, "(111) 555-1212"), complicated["tel"][0]);
  EXPECT_EQ(Array({Entry("EMAIL", "EMAIL", {"PREF", "INTERNET"}, "forrestgump@walladalla.com"),
                   Entry("EMAIL", "EMAIL", {"CELL"}, "cell@example.com")}),
            complicated["mail"]);
  EXPECT_EQ("The following note is the example from RFC 2045.", complicated["note"].asString());

  const Json::Value evil = ReadSample("eds-v30-evil-folding-escapes.vcf");
  EXPECT_EQ(Array({Entry("TEL", "TEL", {"VOICE", "MSG", "WORK"}, "+1-919-676-9515"),
                   Entry("TEL", "TEL", {"FAX", "WORK"}, "+1-919-676-9564")}),
            evil["tel"]);
  EXPECT_EQ(Entry("EMAIL", "EMAIL", {"INTERNET"}, "semicolon\\;@points.net"), evil["mail"][1]);
  ASSERT_EQ(2u, evil["adr"].size());
  EXPECT_EQ(Entry("ADR", "ADR", {"WORK", "POSTAL", "PARCEL"},
                  ";;Evil semicolon city\\;;Semicolon\\;way;NC;27613-3502;U.S.A."),
            evil["adr"][0]);
  EXPECT_EQ(";;Evil backslash \\\\ way;Ulm;Newlines\\nCountry\\Nevil;89073;",
            evil["adr"][1]["data"].asString());

  const Json::Value leading = ReadSample("eds-v21-qp-leading-softbreaks.vcf");
  EXPECT_EQ(";;M\xC3\xBCnsterplatz 21;Ulm;Baden-W\xC3\xBCrttemberg;89073;",
            leading["adr"][0]["data"].asString());
  EXPECT_EQ("19781229", leading["bday"].asString());

  const Json::Value netscape = ReadSample("netscape-v21-lowercase.vcf");
  EXPECT_EQ(Name("geiser", "ian", ""), netscape["name"]);
  EXPECT_EQ(Array({Entry("email", "EMAIL", {"internet"}, "geiseri@yahoo.com")}), netscape["mail"]);

  const Json::Value legacy = ReadSample("thunderbird-legacy-v21-lowercase-export.vcf");
  EXPECT_EQ("contact1@invalid", legacy["mail"][0]["data"].asString());

  const Json::Value hebrew = ReadSample("hebrew-rtl-v21-utf8-bom.vcf");
  EXPECT_EQ(Name("Kishon", "Ephraim", ""), hebrew["name"]);
}

}  // namespace
