// The vCard writer on its own: the text a card record gives for a new card, values that must
// never start a property of their own, and the address wrapping the edit shares.
#include <json/json.h>

#include <algorithm>
#include <vector>

#include "card_model.h"
#include "card_record.h"
#include "records.h"
#include "test_env.h"

using namespace testenv;

namespace {

class VCardWriter : public StoreTest {
 protected:
  // The new card's text, its UID the record's `id`.
  static std::string Write(const Json::Value& card) {
    return card::NewCardText(card, record::Text(record::Member(card, "id")));
  }

  // The text's lines without their CR LF; fails when a line is not ended by CR LF.
  static std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) {
        ADD_FAILURE() << "unterminated line in: " << text;
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }
};

using Lines = std::vector<std::string>;

// The lines of a new card whose record holds nothing but its id `uid`.
Lines EmptyCard(const std::string& uid) {
  return {"BEGIN:VCARD", "VERSION:3.0", "PRODUCTID:-//Orvanta//Veyra//EN",
          "UID:" + uid,  "FN:  ",       "N:;;;;",
          "NOTE:",       "END:VCARD"};
}

TEST_F(VCardWriter, NewCardExampleGivesItsElevenLinesByteForByte) {
  Json::Value card;
  card["id"] = "X1";
  card["name"]["family_name"] = "Doe";
  card["name"]["given_name"] = "Jane";
  card["name"]["additional_name"] = "";
  card["company"]["org"] = "Acme";
  card["company"]["title"] = "";
  card["tel"].append(Entry("555 0100", {"CELL"}));
  card["adr"].append(Entry("  Main Street 1", {"HOME"}));
  card["note"] = "";
  EXPECT_EQ(
      "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODUCTID:-//Orvanta//Veyra//EN\r\nUID:X1\r\n"
      "FN:Doe Jane \r\nN:Doe;Jane;;;\r\nORG:Acme\r\nTEL;type=CELL:555 0100\r\n"
      "ADR;type=HOME:;;Main Street 1;;;;\r\nNOTE:\r\nEND:VCARD\r\n",
      Write(card));
}

TEST_F(VCardWriter, IdAloneGivesHeaderEmptyNamesAndNote) {
  EXPECT_EQ(EmptyCard("abc"), SplitLines(Write(ParseJson(R"({"id":"abc"})"))));
}

TEST_F(VCardWriter, FreshIdIgnoresOtherAndUnknownKeys) {
  Json::Value card =
      ParseJson(R"({"id":"u1","other":"BEGIN:VCARD\r\nX-OLD:1\r\n","resource_id":"7","cust":"x"})");
  EXPECT_EQ(EmptyCard("u1"), SplitLines(Write(card)));
}

TEST_F(VCardWriter, NameLinesKeepBothSeparatorsAndTrailingSpace) {
  Lines lines = SplitLines(Write(ParseJson(R"({"id":"u","name":{"given_name":"Jane"}})")));
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ("FN: Jane ", lines[4]);
  EXPECT_EQ("N:;Jane;;;", lines[5]);
}

TEST_F(VCardWriter, TypesAreOneParameterEachInOrder) {
  Json::Value card = ParseJson(R"({"id":"u",
    "tel":[{"type":["CELL","VOICE"],"data":"+1 555"}],
    "mail":[{"type":["INTERNET,pref"],"data":"a@b.c"}],
    "url":[{"type":["WORK"],"data":"http://x.example/a"}]})");
  Lines lines = SplitLines(Write(card));
  EXPECT_EQ("EMAIL;type=\"INTERNET,pref\":a@b.c", lines[6]);
  EXPECT_EQ("TEL;type=CELL;type=VOICE:+1 555", lines[7]);
  EXPECT_EQ("URL;type=WORK:http://x.example/a", lines[8]);
}

TEST_F(VCardWriter, EntriesFollowTheFixedPropertyOrder) {
  Json::Value card = ParseJson(R"({"id":"u","note":"n","bday":"1990-01-02",
    "url":[{"data":"http://u"}],"adr":[{"data":"street"}],"tel":[{"data":"1"}],
    "mail":[{"data":"m@x"}],"company":{"org":"O","title":"T"}})");
  EXPECT_EQ((Lines{"BEGIN:VCARD", "VERSION:3.0", "PRODUCTID:-//Orvanta//Veyra//EN", "UID:u",
                   "FN:  ", "N:;;;;", "ORG:O", "TITLE:T", "BDAY:1990-01-02", "EMAIL:m@x", "TEL:1",
                   "ADR:;;street;;;;", "URL:http://u", "NOTE:n", "END:VCARD"}),
            SplitLines(Write(card)));
}

TEST_F(VCardWriter, LeadingSpacesAreTrimmedOnlyFromAnAddressText) {
  Json::Value card = ParseJson(R"({"id":"u","adr":[{"data":"   Elm 2"}],
    "mail":[{"data":"  m@x"}],"tel":[{"data":" 1"}],"url":[{"data":"  http://u"}]})");
  Lines lines = SplitLines(Write(card));
  EXPECT_EQ("EMAIL:  m@x", lines[6]);
  EXPECT_EQ("TEL: 1", lines[7]);
  EXPECT_EQ("ADR:;;Elm 2;;;;", lines[8]);
  EXPECT_EQ("URL:  http://u", lines[9]);
}

TEST_F(VCardWriter, StructuredAddressIsWrittenWhole) {
  Json::Value card = ParseJson(R"({"id":"u","adr":[
    {"type":["WORK"],"data":";;Main Street 1;Springfield;IL;62701;USA"},
    {"data":" ;PO 4;;Town;;;"}]})");
  Lines lines = SplitLines(Write(card));
  EXPECT_EQ("ADR;type=WORK:;;Main Street 1;Springfield;IL;62701;USA", lines[6]);
  EXPECT_EQ("ADR: ;PO 4;;Town;;;", lines[7]);
}

TEST_F(VCardWriter, EmptyOrgAndTitleGiveNoLinesButEmptyNoteDoes) {
  Lines lines = SplitLines(
      Write(ParseJson(R"({"id":"u","company":{"org":"","title":""},"note":"","bday":""})")));
  EXPECT_EQ(EmptyCard("u"), lines);
}

TEST_F(VCardWriter, LineBreaksInOneLineValuesBecomeOneSpace) {
  Json::Value card;
  card["id"] = "u";
  card["name"]["family_name"] = "Doe\r\nX-EVIL:1";
  card["name"]["given_name"] = "Jane\n\n\rEND:VCARD";
  card["company"]["org"] = "Acme\rX-ORG:2";
  card["company"]["title"] = "Boss\nX-TITLE:3";
  card["bday"] = "1990\r\nX-BDAY:4";
  card["tel"].append(Entry("555\r\nX-TEL:5", {"CELL\r\nX-TYPE:6"}));
  card["mail"].append(Entry("a@b\nX-MAIL:7"));
  card["adr"].append(Entry("Elm\r\nX-ADR:8"));
  card["url"].append(Entry("http://u\rX-URL:9"));
  std::string text = Write(card);
  Lines lines = SplitLines(text);
  ASSERT_EQ(15u, lines.size()) << text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(0u, lines[i].find("X-")) << "injected property: " << lines[i];
    EXPECT_EQ(i + 1 == lines.size(), lines[i].rfind("END", 0) == 0) << "early end: " << lines[i];
  }
  EXPECT_EQ((Lines{"FN:Doe X-EVIL:1 Jane END:VCARD ", "N:Doe X-EVIL:1;Jane END:VCARD;;;",
                   "ORG:Acme X-ORG:2", "TITLE:Boss X-TITLE:3", "BDAY:1990 X-BDAY:4",
                   "EMAIL:a@b X-MAIL:7", "TEL;type=\"CELL X-TYPE:6\":555 X-TEL:5",
                   "ADR:;;Elm X-ADR:8;;;;", "URL:http://u X-URL:9"}),
            Lines(lines.begin() + 4, lines.begin() + 13));
}

TEST_F(VCardWriter, NoteLineBreaksBecomeBackslashN) {
  Json::Value card = ParseJson(R"({"id":"u"})");
  card["note"] = "Call first\nTime: 10:00\r\nor\rlater\\, maybe\r\n\r\n";
  Lines lines = SplitLines(Write(card));
  ASSERT_EQ(8u, lines.size());
  EXPECT_EQ("NOTE:Call first\\nTime: 10:00\\nor\\nlater\\, maybe\\n\\n", lines[6]);
}

TEST_F(VCardWriter, NoteEscapesAlreadyPresentAreKeptAsTheyAre) {
  Json::Value card = ParseJson(R"({"id":"u"})");
  card["note"] = "a\\nb\\;c\\\\d";
  EXPECT_EQ("NOTE:a\\nb\\;c\\\\d", SplitLines(Write(card))[6]);
}

TEST_F(VCardWriter, OrgIsWrittenAsSent) {
  Json::Value card = ParseJson(R"({"id":"new","company":{"org":"Acme;"}})");
  EXPECT_EQ("ORG:Acme;", SplitLines(Write(card))[6]);
}

TEST_F(VCardWriter, GroupedKeyIsWrittenUnderItsGroup) {
  Json::Value card = ParseJson(R"({"id":"k",
    "mail":[{"key":"item1.EMAIL","cust_name":"Work","type":["INTERNET"],"data":"w@x"}],
    "url":[{"key":"item2.URL","cust_name":null,"type":["pref"],"data":"http://x"}]})");
  EXPECT_EQ((Lines{"BEGIN:VCARD", "VERSION:3.0", "PRODUCTID:-//Orvanta//Veyra//EN", "UID:k",
                   "FN:  ", "N:;;;;", "item1.EMAIL;type=INTERNET:w@x", "item1.X-ABLabel:Work",
                   "item2.URL;type=pref:http://x", "NOTE:", "END:VCARD"}),
            SplitLines(Write(card)));
}

TEST_F(VCardWriter, MalformedKeysFallBackToTheBareName) {
  Json::Value card = ParseJson(R"({"id":"u","tel":[
    {"key":"NOTE:x","data":"1"},{"key":"a.b.TEL","data":"2"},{"key":"ENDTEL","data":"3"},
    {"key":"item 1.TEL","data":"4"},{"key":"ADR","data":"5"},{"key":"X-NEC-TEL","data":"6"}]})");
  Lines lines = SplitLines(Write(card));
  ASSERT_GE(lines.size(), 12u);
  EXPECT_EQ((Lines{"TEL:1", "TEL:2", "TEL:3", "TEL:4", "TEL:5", "TEL:6"}),
            Lines(lines.begin() + 6, lines.begin() + 12));
}

TEST_F(VCardWriter, EntriesAreWrittenOnlyUnderANameOfTheirOwnKind) {
  // A key naming another property never writes it: a fresh card keeps its one UID.
  Json::Value card = ParseJson(R"({"id":"u","url":[{"key":"UID","data":"http://x/a"},
    {"key":"PHOTO","type":["JPEG"],"data":"http://x/p.jpg"},{"key":"item1.url","data":"http://x/b"}],
    "mail":[{"key":"VERSION","data":"m@x"}],"tel":[{"key":"N","data":"1"}]})");
  Lines lines = SplitLines(Write(card));
  EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("UID", 0) == 0; }));
  EXPECT_EQ(1, std::count(lines.begin(), lines.end(), "VERSION:3.0"));
  for (const char* line : {"URL:http://x/a", "URL;type=JPEG:http://x/p.jpg", "item1.url:http://x/b",
                           "EMAIL:m@x", "TEL:1"}) {
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
  }
}

TEST_F(VCardWriter, CustomLabelGetsAGroupOfItsOwnWithALabelLine) {
  // A group the record's own keys name (in any case) is not taken again.
  Json::Value card = ParseJson(R"({"id":"k",
    "tel":[{"key":"TEL","cust_name":"TEL","data":"1"},
           {"cust_name":"Boat","type":["CELL"],"data":"2"},
           {"key":"ITEM1.TEL","data":"3"}],
    "mail":[{"cust_name":"Old\r\nmail","data":"m@x"}]})");
  EXPECT_EQ(
      (Lines{"BEGIN:VCARD", "VERSION:3.0", "PRODUCTID:-//Orvanta//Veyra//EN", "UID:k",
             "FN:  ", "N:;;;;", "item2.EMAIL:m@x", "item2.X-ABLabel:Old mail", "TEL:1",
             "item3.TEL;type=CELL:2", "item3.X-ABLabel:Boat", "ITEM1.TEL:3", "NOTE:", "END:VCARD"}),
      SplitLines(Write(card)));
}

TEST_F(VCardWriter, WronglyTypedMembersReadAsEmptyWithoutThrowing) {
  Json::Value card = ParseJson(R"({"id":"u","name":["x"],"company":"Acme","tel":{"data":"1"},
    "mail":[7,{"type":"HOME","data":["a"],"key":{}}],"note":5,"bday":[]})");
  EXPECT_EQ(EmptyCard("u"), SplitLines(Write(card)));
  EXPECT_EQ(EmptyCard("u"), SplitLines(card::NewCardText(Json::Value(3), "u")));
}

TEST_F(VCardWriter, OneLineAddressSkipsLeadingSpacesOnly) {
  EXPECT_EQ(";;word ;;;;", card::AddressValue("   word "));
  EXPECT_EQ(";;\tword;;;;", card::AddressValue("\tword"));
  EXPECT_EQ(";;;;;;", card::AddressValue("    "));
  EXPECT_EQ(";;;;;;", card::AddressValue(""));
  EXPECT_EQ(";;a  b;;;;", card::AddressValue(" a  b"));
  EXPECT_EQ(" ;b;;;;;", card::AddressValue(" ;b;;;;;"));
}

TEST_F(VCardWriter, FoldedLinesNeverLeaveABlankContinuationAndReadBackAsWritten) {
  // Every place a run of spaces or tabs can meet a fold, at the edit's line width; runs that end
  // the value too. Each written line must read back as the value sent, and no physical line may
  // be white space alone (the reader takes such a line for a blank one).
  const std::string stored = "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;Jane;;;\r\nEND:VCARD\r\n";
  const Json::Value record = card::ReadRecord(stored);
  for (std::size_t lead = 0; lead <= 160; ++lead) {
    for (std::size_t run : {1u, 2u, 73u, 74u, 75u, 76u, 150u}) {
      for (const char* tail : {"tail", "", "\xC3\xA9\xC3\xA9"}) {
        for (char blank : {' ', '\t'}) {
          const std::string value = std::string(lead, 'x') + std::string(run, blank) + tail;
          Json::Value sent = record;
          sent["company"]["title"] = value;
          std::string text;
          ASSERT_TRUE(card::MergeEdit(stored, sent, text));
          const Json::Value read = card::ReadRecord(text);
          ASSERT_EQ(value, read["company"]["title"].asString()) << text;
          ASSERT_EQ(record["other"], read["other"]) << text;
          for (const std::string& line : SplitLines(text)) {
            ASSERT_NE(std::string::npos, line.find_first_not_of(" \t")) << text;
          }
        }
      }
    }
  }
}

}  // namespace
