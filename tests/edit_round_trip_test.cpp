// Edits as the web pages make them: take the record the listing gives, change one field, send it
// back. Over every card of the shared sample folder and over cards written for the purpose, an
// unchanged edit must list as the same record, and a changed phone must be the only difference.
#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "db_handler.h"
#include "module_call.h"
#include "records.h"
#include "test_env.h"

using namespace testenv;

namespace {

const char kNewPhone[] = "+1 555 0199";

// Files whose cards the edit refuses, and why: their stored text would not survive.
const std::map<std::string, std::string> kRefusedFiles = {};

bool IsUtf8(const std::string& bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned char c = bytes[i];
    if (c == 0) return false;
    std::size_t length = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Each top-level card of a file as a client would store it: from its BEGIN line to its END line
// (nested cards stay inside their parent), or to the end of the file when END is missing. A
// byte-order mark belongs to the file, not to the card.
std::vector<std::string> CardsOf(std::string bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
  std::vector<std::string> cards;
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t next = bytes.find('\n', at);
    next = next == std::string::npos ? bytes.size() : next + 1;
    std::string line = Upper(bytes.substr(at, next - at));
    line.erase(line.find_last_not_of("\r\n") + 1);
    if (line == "BEGIN:VCARD" && depth++ == 0) start = at;
    if (line == "END:VCARD" && depth > 0 && --depth == 0) {
      cards.push_back(bytes.substr(start, next - start));
    }
    at = next;
  }
  if (depth > 0) cards.push_back(bytes.substr(start));
  return cards;
}

bool HasUidLine(const std::string& card) {
  std::istringstream lines(card);
  for (std::string line; std::getline(lines, line);) {
    if (Upper(line.substr(0, 4)) == "UID:") return true;
  }
  return false;
}

// The card with a UID line after its BEGIN line, in the card's own line ends: the daemon keeps
// no card without one.
std::string WithUid(const std::string& card, const std::string& uid) {
  std::size_t lf = card.find('\n');
  if (lf == std::string::npos) return card + "\r\nUID:" + uid + "\r\n";
  const char* end = lf > 0 && card[lf - 1] == '\r' ? "\r\n" : "\n";
  return card.substr(0, lf + 1) + "UID:" + uid + end + card.substr(lf + 1);
}

class EditRoundTrip : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(store.SetupUserBasicInfo(user));
    guid = store.GetGUID(user);
    ASSERT_FALSE(guid.empty());
  }

  ORVA::APIResponse Add(const Json::Value& card) {
    return RunContacts("add_card", UserParams(user, "card", card));
  }

  // The record the listing gives for the card named `id`; null when it lists none.
  Json::Value Listed(const std::string& id) {
    ORVA::APIResponse response = RunContacts("list_cards", UserParams(user));
    EXPECT_TRUE(response.IsSuccess());
    for (const Json::Value& card : response.Data()["cards"]) {
      if (card["id"].asString() == id) return card;
    }
    return Json::Value();
  }

  std::vector<std::string> ListedIds() {
    std::vector<std::string> ids;
    const ORVA::APIResponse response = RunContacts("list_cards", UserParams(user));
    for (const Json::Value& card : response.Data()["cards"]) {
      ids.push_back(card["id"].asString());
    }
    return ids;
  }

  // The edit as the page sends it: the listed record, named by its id.
  ORVA::APIResponse Edit(Json::Value record) {
    record["resource_name"] = record["id"];
    return RunContacts("edit_card", UserParams(user, "card", record));
  }

  std::string StoredText(const std::string& id) {
    return Caldav::Value("SELECT vcard_text FROM addressbook_object WHERE resource_name=" +
                         Caldav::Quote(id));
  }

  // The id the listing gives now that was not among `before` ("" when none).
  std::string NewId(const std::vector<std::string>& before) {
    for (const std::string& id : ListedIds()) {
      if (std::find(before.begin(), before.end(), id) == before.end()) return id;
    }
    return "";
  }

  // Stores `text` as a client would and returns the new card's name.
  std::string Store(const std::string& text) {
    std::vector<std::string> before = ListedIds();
    if (!store.AddCard(guid, "round-trip-" + std::to_string(++stored), text)) return "";
    return NewId(before);
  }

  // The round trip of one stored card: an unchanged edit keeps the stored text byte for byte
  // and lists as the same record; then one changed phone is the only difference in the next
  // listing (but for the etag, the digest of the changed card).
  void ExpectRoundTrip(const std::string& id) {
    const Json::Value listed = Listed(id);
    ASSERT_TRUE(listed.isObject());
    const std::string text = StoredText(id);
    ORVA::APIResponse response = Edit(listed);
    ASSERT_TRUE(response.IsSuccess()) << response.ToJson().toStyledString();
    EXPECT_EQ(text, StoredText(id)) << "an unchanged edit changed the card";
    const Json::Value edited = Listed(id);
    EXPECT_EQ(listed, edited);

    Json::Value changed = edited;
    Json::Value expected = edited;
    if (!changed["tel"].empty()) {
      changed["tel"][0]["data"] = kNewPhone;
      expected = changed;
    } else {
      changed["tel"].append(Json::Value(Json::objectValue));
      changed["tel"][0]["type"].append("CELL");
      changed["tel"][0]["data"] = kNewPhone;
      expected["tel"].append(Entry("TEL", "TEL", {"CELL"}, kNewPhone));
    }
    ASSERT_TRUE(Edit(changed).IsSuccess());
    Json::Value after = Listed(id);
    expected.removeMember("etag");
    after.removeMember("etag");
    EXPECT_EQ(expected, after) << "expected:\n"
                               << expected.toStyledString() << "listed:\n"
                               << after.toStyledString();
  }

  void ExpectRefused(const std::string& id) {
    const std::string text = StoredText(id);
    Json::Value listed = Listed(id);
    ORVA::APIResponse response = Edit(listed);
    EXPECT_FALSE(response.IsSuccess());
    EXPECT_EQ(1011, response.ErrorCode());
    EXPECT_EQ(text, StoredText(id)) << "a refused edit changed the card";
  }

  const std::string user = "carol";
  DBHandler store;
  std::string guid;
  int stored = 0;
};

// --- every card of the shared sample folder --------------------------------------------------

class SampleCards : public EditRoundTrip, public ::testing::WithParamInterface<std::string> {};

TEST(SampleFolder, HoldsTheCollectedFiles) {
  EXPECT_GE(SampleFiles().size(), 20u) << "sample folder " << SampleFolder();
}

TEST_P(SampleCards, EditOfTheListedRecordRoundTrips) {
  const std::string name = GetParam();
  const std::string bytes = SampleFile(name);
  ASSERT_FALSE(bytes.empty());
  if (!IsUtf8(bytes)) {
    EXPECT_FALSE(store.AddCard(guid, "not-utf-8", bytes));
    GTEST_SKIP() << name << ": its bytes are not UTF-8 (Shift_JIS or UTF-16); the database "
                 << "refuses to store them, so there is no listed card to edit";
  }
  const std::vector<std::string> cards = CardsOf(bytes);
  ASSERT_FALSE(cards.empty());
  const auto refused = kRefusedFiles.find(name);
  for (std::size_t i = 0; i < cards.size(); ++i) {
    SCOPED_TRACE(name + ", card " + std::to_string(i + 1));
    std::string card = cards[i];
    if (!HasUidLine(card)) {
      // The edit changes the stored card in place, so even a card without a UID line can be
      // edited; the daemon keeps none without one, which the rest of the round trip reflects.
      const std::string id = Store(card);
      ASSERT_FALSE(id.empty());
      ExpectRoundTrip(id);
      card = WithUid(card, "uid-" + std::to_string(i));
    }
    const std::string id = Store(card);
    ASSERT_FALSE(id.empty());
    if (refused != kRefusedFiles.end()) {
      ExpectRefused(id);
      continue;
    }
    ExpectRoundTrip(id);
  }
  if (refused != kRefusedFiles.end()) {
    std::cout << "[   NOTE   ] " << name << ": edit refused, card kept as stored ("
              << refused->second << ")\n";
  }
}

TEST_P(SampleCards, EditOfAnImportedCardRoundTrips) {
  const std::string name = GetParam();
  Json::Value params = UserParams(user, "file", name);
  params["file_tmp"] = SampleFolder() + "/" + name;
  ORVA::APIResponse imported = RunContacts("import_cards", params);
  const std::vector<std::string> ids = ListedIds();
  if (ids.empty()) {
    EXPECT_EQ(1011, imported.ErrorCode());
    GTEST_SKIP() << name << ": the import stores none of its cards (not UTF-8, or no line that "
                 << "is exactly BEGIN:VCARD)";
  }
  for (const std::string& id : ids) {
    SCOPED_TRACE(name + ", imported card " + id);
    ExpectRoundTrip(id);
  }
}

INSTANTIATE_TEST_SUITE_P(SharedFolder, SampleCards, ::testing::ValuesIn(SampleFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.rfind('.'));
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// --- focused cards ---------------------------------------------------------------------------

const char kHead[] = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Phone//EN\r\nUID:focus-1\r\n";

TEST_F(EditRoundTrip, StructuredAddressKeepsItsComponents) {
  const std::string id = Store(std::string(kHead) +
                               "N:Doe;Jane;;;\r\n"
                               "ADR;type=HOME:;;Main Street 1;Springfield;IL;62701;USA\r\n"
                               "ADR;type=WORK:;Suite 4;Elm 2\r\n"
                               " Building B;Town;;;\r\n"
                               "TEL;type=CELL:555 0100\r\nEND:VCARD\r\n");
  ExpectRoundTrip(id);
  const Json::Value record = Listed(id);
  ASSERT_EQ(2u, record["adr"].size());
  EXPECT_EQ(";;Main Street 1;Springfield;IL;62701;USA", record["adr"][0]["data"].asString());
  EXPECT_NE(std::string::npos,
            StoredText(id).find("\r\nADR;type=HOME:;;Main Street 1;Springfield;IL;62701;USA\r\n"));
}

TEST_F(EditRoundTrip, BirthdaySurvivesAPhoneChange) {
  const std::string id = Store(std::string(kHead) +
                               "N:Doe;Jane;;;\r\nBDAY:1980-03-22\r\n"
                               "TEL;type=CELL:555 0100\r\nEND:VCARD\r\n");
  ExpectRoundTrip(id);
  EXPECT_EQ("1980-03-22", Listed(id)["bday"].asString());
  EXPECT_NE(std::string::npos, StoredText(id).find("\r\nBDAY:1980-03-22\r\n"));
}

TEST_F(EditRoundTrip, GroupedMailKeepsItsLabel) {
  const std::string id = Store(std::string(kHead) +
                               "N:Doe;Jane;;;\r\n"
                               "item1.EMAIL;type=INTERNET:jane@work.example\r\n"
                               "item1.X-ABLabel:_$!<Work>!$_\r\n"
                               "item2.EMAIL;type=INTERNET:jane@home.example\r\n"
                               "END:VCARD\r\n");
  Json::Value listed = Listed(id);
  ASSERT_EQ(2u, listed["mail"].size());
  EXPECT_EQ(Entry("item1.EMAIL", "Work", {"INTERNET"}, "jane@work.example"), listed["mail"][0]);
  EXPECT_EQ(Entry("item2.EMAIL", Json::Value(), {"INTERNET"}, "jane@home.example"),
            listed["mail"][1]);
  ExpectRoundTrip(id);
  const std::string text = StoredText(id);
  EXPECT_NE(std::string::npos, text.find("\r\nitem1.EMAIL;type=INTERNET:jane@work.example\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\nitem1.X-ABLabel:_$!<Work>!$_\r\n"));
}

TEST_F(EditRoundTrip, LabelAddedOrChangedInTheRecordShowsInTheNextListing) {
  const std::string id = Store(std::string(kHead) +
                               "N:Doe;Jane;;;\r\n"
                               "item1.X-ABDATE:2001-01-01\r\n"
                               "item2.TEL;type=CELL:555 0100\r\n"
                               "item2.X-ABLabel:Boat\r\n"
                               "END:VCARD\r\n");
  Json::Value record = Listed(id);
  record["mail"].append(Entry("EMAIL", "Holiday home", {"INTERNET"}, "jane@holiday.example"));
  record["tel"][0]["cust_name"] = "Yacht";
  ASSERT_TRUE(Edit(record).IsSuccess());

  Json::Value listed = Listed(id);
  ASSERT_EQ(1u, listed["mail"].size());
  // The new group does not take a name the card already uses.
  EXPECT_EQ(Entry("item3.EMAIL", "Holiday home", {"INTERNET"}, "jane@holiday.example"),
            listed["mail"][0]);
  EXPECT_EQ(Entry("item2.TEL", "Yacht", {"CELL"}, "555 0100"), listed["tel"][0]);
  const std::string text = StoredText(id);
  EXPECT_EQ(std::string::npos, text.find("Boat")) << text;
  EXPECT_NE(std::string::npos, text.find("\r\nitem1.X-ABDATE:2001-01-01\r\n"));
  ExpectRoundTrip(id);
}

TEST_F(EditRoundTrip, NoteEscapesComeBackAsTheyWereRead) {
  const std::string id =
      Store(std::string(kHead) +
            "N:Doe;Jane;;;\r\n"
            "NOTE:Line one\\nLine two\\, with a comma\\; and \\\\ a backslash\r\n"
            "END:VCARD\r\n");
  const std::string note = "Line one\\nLine two\\, with a comma\\; and \\\\ a backslash";
  EXPECT_EQ(note, Listed(id)["note"].asString());
  ExpectRoundTrip(id);
  EXPECT_EQ(note, Listed(id)["note"].asString());
  EXPECT_NE(std::string::npos, StoredText(id).find("\r\nNOTE:" + note + "\r\n"));
}

TEST_F(EditRoundTrip, FoldedNoteIsOneValueAndStaysFoldedAsStored) {
  const std::string id = Store(std::string(kHead) +
                               "N:Doe;Jane;;;\r\nNOTE:Call first\r\n  Time 10 o'clock\r\n"
                               "X-AFTER:kept\r\nEND:VCARD\r\n");
  EXPECT_EQ("Call first Time 10 o'clock", Listed(id)["note"].asString());
  ExpectRoundTrip(id);
  EXPECT_NE(std::string::npos, StoredText(id).find("NOTE:Call first\r\n  Time 10 o'clock\r\n"));
  EXPECT_NE(std::string::npos, Listed(id)["other"].asString().find("X-AFTER:kept\r\n"));
}

TEST_F(EditRoundTrip, NoteTypedWithLineBreaksKeepsEveryLine) {
  const std::string id = Store(std::string(kHead) + "N:Doe;Jane;;;\r\nEND:VCARD\r\n");
  Json::Value record = Listed(id);
  record["note"] = "Call first\r\nTime: 10:00\nGate: B";
  ASSERT_TRUE(Edit(record).IsSuccess());
  Json::Value listed = Listed(id);
  EXPECT_EQ("Call first\\nTime: 10:00\\nGate: B", listed["note"].asString());
  EXPECT_EQ(record["other"], listed["other"]) << "no line of the note became a property";
}

TEST_F(EditRoundTrip, NonAsciiNamesAndValuesRoundTrip) {
  const std::string id = Store(std::string(kHead) +
                               "N:Müller;Zoë;李 小龍;;\r\n"
                               "ORG:Société Générale;Tōkyō 支店\r\n"
                               "TITLE:Directrice générale\r\n"
                               "EMAIL;type=INTERNET:zoë@exämple.org\r\n"
                               "ADR;type=HOME:;;Straße 5;Zürich;;8001;Schweiz\r\n"
                               "NOTE:שלום עולם\r\nEND:VCARD\r\n");
  Json::Value listed = Listed(id);
  EXPECT_EQ("Müller", listed["name"]["family_name"].asString());
  EXPECT_EQ("李 小龍", listed["name"]["additional_name"].asString());
  ExpectRoundTrip(id);
  EXPECT_NE(std::string::npos, StoredText(id).find("\r\nN:Müller;Zoë;李 小龍;;\r\n"));
}

TEST_F(EditRoundTrip, OrgThatEndsInASemicolonKeepsIt) {
  const std::string id = Store(std::string(kHead) + "ORG:Acme;;\r\nEND:VCARD\r\n");
  EXPECT_EQ("Acme;", Listed(id)["company"]["org"].asString());
  ExpectRoundTrip(id);
  EXPECT_NE(std::string::npos, StoredText(id).find("\r\nORG:Acme;;\r\n"));
}

TEST_F(EditRoundTrip, EntriesWithoutTypeParametersStayEntries) {
  const std::string id = Store(std::string(kHead) +
                               "TEL;CELL:0311111111\r\nEMAIL;PREF;INTERNET:a@b.example\r\n"
                               "ADR;HOME:;;Elm 2;Town;;;\r\nURL:http://x.example/\r\n"
                               "PHOTO;VALUE=URL:http://x.example/me.jpg\r\nEND:VCARD\r\n");
  Json::Value listed = Listed(id);
  EXPECT_EQ(1u, listed["tel"].size());
  EXPECT_EQ(1u, listed["mail"].size());
  EXPECT_EQ(1u, listed["adr"].size());
  EXPECT_EQ(1u, listed["url"].size());  // a photo is no web address, whatever its VALUE
  ExpectRoundTrip(id);
  EXPECT_NE(std::string::npos,
            StoredText(id).find("\r\nPHOTO;VALUE=URL:http://x.example/me.jpg\r\n"))
      << "the photo stays a photo";
}

TEST_F(EditRoundTrip, HostileValuesStayDataAcrossEdits) {
  const std::string id = Store(std::string(kHead) + "N:Doe;Jane;;;\r\nEND:VCARD\r\n");
  Json::Value record = Listed(id);
  record["name"]["family_name"] = "Doe\r\nX-EVIL:1";
  record["company"]["title"] = "\"Boss\"\nEND:VCARD";
  record["tel"].append(Entry("TEL", "TEL", {"CELL\r\nX-EVIL:2"}, "555\r\nX-EVIL:3"));
  ASSERT_TRUE(Edit(record).IsSuccess());
  Json::Value listed = Listed(id);
  EXPECT_EQ("Doe X-EVIL:1", listed["name"]["family_name"].asString());
  EXPECT_EQ("\"Boss\" END:VCARD", listed["company"]["title"].asString());
  EXPECT_EQ(record["other"], listed["other"]);
  EXPECT_EQ(std::string::npos, StoredText(id).find("\nX-EVIL"));
  ExpectRoundTrip(id);
}

// --- what a caller sends never changes a card's structure ---------------------------------------

// A type word as the listing gives it back: a comma in a type reads as a list, as in the
// TYPE="HOME,FAX" clients write.
std::vector<std::string> ListedWords(const std::string& word) {
  std::vector<std::string> words;
  std::size_t start = 0;
  for (std::size_t comma; (comma = word.find(',', start)) != std::string::npos; start = comma + 1) {
    if (comma > start) words.push_back(word.substr(start, comma - start));
  }
  if (start < word.size()) words.push_back(word.substr(start));
  return words;
}

// How many lines the listing kept in `other`: a new card's BEGIN, VERSION, PRODUCTID and UID.
std::size_t OtherLines(const Json::Value& record) {
  const std::string other = record["other"].asString();
  std::size_t lines = 0;
  for (std::size_t at = other.find('\n'); at != std::string::npos; at = other.find('\n', at + 1))
    ++lines;
  return lines;
}

std::vector<std::string> TypesOf(const Json::Value& entry) {
  std::vector<std::string> types;
  for (const Json::Value& type : entry["type"]) types.push_back(type.asString());
  return types;
}

TEST_F(EditRoundTrip, HostileTypeWordsAreQuotedOrRefusedInTheAddAndTheEdit) {
  // Data that a quoted-printable line would decode, ending in a soft break.
  const char kData[] = "a=41=";
  const std::string kQuoted[] = {"a:b",
                                 "x;ENCODING=QUOTED-PRINTABLE",
                                 "QUOTED-PRINTABLE",
                                 "x:y;TYPE=CELL",
                                 ";",
                                 "a b:c\td",
                                 "\xC3\xBC:\xC3\xA9",
                                 "a\\:b",
                                 "HOME,FAX",
                                 "x,;:y"};
  for (const std::string& word : kQuoted) {
    SCOPED_TRACE(word);
    Json::Value card(Json::objectValue);
    card["name"]["family_name"] = "Typed";
    card["tel"].append(Json::Value(Json::objectValue));
    card["tel"][0]["type"].append(word);
    card["tel"][0]["type"].append("CELL");
    card["tel"][0]["data"] = kData;
    card["note"] = "after";
    const std::vector<std::string> before = ListedIds();
    ASSERT_TRUE(Add(card).IsSuccess());
    const std::string id = NewId(before);
    Json::Value listed = Listed(id);
    std::vector<std::string> words = ListedWords(word);
    words.push_back("CELL");
    ASSERT_EQ(1u, listed["tel"].size());
    EXPECT_EQ(words, TypesOf(listed["tel"][0]));
    EXPECT_EQ(kData, listed["tel"][0]["data"].asString());
    EXPECT_EQ("after", listed["note"].asString());
    EXPECT_EQ(4u, OtherLines(listed)) << listed["other"].asString();

    // The edit: the kind changed on the stored entry, and a new entry of that type.
    listed["tel"][0]["type"] = Json::Value(Json::arrayValue);
    listed["tel"][0]["type"].append("WORK");
    listed["tel"][0]["type"].append(word);
    listed["mail"].append(Json::Value(Json::objectValue));
    listed["mail"][0]["type"].append(word);
    listed["mail"][0]["data"] = kData;
    ASSERT_TRUE(Edit(listed).IsSuccess());
    const Json::Value edited = Listed(id);
    words.pop_back();
    words.insert(words.begin(), "WORK");
    EXPECT_EQ(words, TypesOf(edited["tel"][0]));
    EXPECT_EQ(kData, edited["tel"][0]["data"].asString());
    ASSERT_EQ(1u, edited["mail"].size());
    EXPECT_EQ(ListedWords(word), TypesOf(edited["mail"][0]));
    EXPECT_EQ(kData, edited["mail"][0]["data"].asString());
    EXPECT_EQ("after", edited["note"].asString());
    EXPECT_EQ(4u, OtherLines(edited)) << edited["other"].asString();
  }

  // A stored quoted type keeps its quotes when the kind changes.
  const std::string stored = Store(std::string(kHead) + "TEL;TYPE=\"x:y\":555\r\nEND:VCARD\r\n");
  Json::Value record = Listed(stored);
  EXPECT_EQ(std::vector<std::string>{"x:y"}, TypesOf(record["tel"][0]));
  record["tel"][0]["type"].append("CELL");
  ASSERT_TRUE(Edit(record).IsSuccess());
  EXPECT_EQ((std::vector<std::string>{"x:y", "CELL"}), TypesOf(Listed(stored)["tel"][0]));
  EXPECT_EQ("555", Listed(stored)["tel"][0]["data"].asString());

  // Words no parameter value holds: refused with nothing written, by the add and the edit.
  const std::string kRefused[] = {"a\"b", "\"", "bell\x07", "del\x7F", "end\\", "x\\\\\\"};
  for (const std::string& word : kRefused) {
    SCOPED_TRACE(word);
    const std::vector<std::string> before = ListedIds();
    Json::Value card(Json::objectValue);
    card["tel"].append(Json::Value(Json::objectValue));
    card["tel"][0]["type"].append(word);
    card["tel"][0]["data"] = "1";
    const ORVA::APIResponse added = Add(card);
    EXPECT_FALSE(added.IsSuccess());
    EXPECT_EQ(1015, added.ErrorCode());
    EXPECT_EQ(before, ListedIds());

    const std::string text = StoredText(stored);
    Json::Value changed = Listed(stored);
    changed["url"].append(card["tel"][0]);
    const ORVA::APIResponse edit = Edit(changed);
    EXPECT_FALSE(edit.IsSuccess());
    EXPECT_EQ(1015, edit.ErrorCode());
    EXPECT_EQ(text, StoredText(stored));
  }
}

TEST_F(EditRoundTrip, LongValuesWithRunsOfSpacesReadBackAsWrittenAtEveryFoldPlace) {
  // The issue's title (69 x, 74 spaces, "tail") and its neighbours, and runs that end the value.
  const std::string id = Store(std::string(kHead) + "N:Doe;Jane;;;\r\nEND:VCARD\r\n");
  const std::string other = Listed(id)["other"].asString();
  for (std::size_t lead : {66u, 68u, 69u, 70u, 74u}) {
    for (std::size_t run : {1u, 73u, 74u, 75u, 150u}) {
      for (const char* tail : {"tail", ""}) {
        const std::string title = std::string(lead, 'x') + std::string(run, ' ') + tail;
        SCOPED_TRACE(std::to_string(lead) + " x, " + std::to_string(run) + " spaces, " + tail);
        Json::Value record = Listed(id);
        record["company"]["title"] = title;
        record["note"] = title;
        ASSERT_TRUE(Edit(record).IsSuccess());
        const Json::Value listed = Listed(id);
        EXPECT_EQ(title, listed["company"]["title"].asString());
        EXPECT_EQ(title, listed["note"].asString());
        EXPECT_EQ(other, listed["other"].asString());
      }
    }
  }
}

TEST_F(EditRoundTrip, EntriesWithoutDataAreNeverWritten) {
  const Json::Value empty = ParseJson(R"({"name":{"family_name":"Empty"},
    "tel":[{"type":["CELL"],"data":""},{}],"mail":[{"data":""}],
    "adr":[{}, {"type":["HOME"],"data":";;;;;;"}, {"data":"   "}],"url":[{"data":""}]})");
  const std::vector<std::string> before = ListedIds();
  ASSERT_TRUE(Add(empty).IsSuccess());
  const std::string id = NewId(before);
  const std::string added = StoredText(id);
  for (const char* property : {"\nTEL", "\nEMAIL", "\nADR", "\nURL"}) {
    EXPECT_EQ(std::string::npos, added.find(property)) << added;
  }
  // The edit adds none either, and an entry emptied is removed.
  Json::Value record = Listed(id);
  record["tel"].append(Json::Value(Json::objectValue));
  record["tel"][0]["data"] = "555";
  ASSERT_TRUE(Edit(record).IsSuccess());
  record = Listed(id);
  ASSERT_EQ(1u, record["tel"].size());
  record["tel"][0]["data"] = "";
  for (const char* list : {"mail", "adr", "url"}) record[list] = empty[list];
  ASSERT_TRUE(Edit(record).IsSuccess());
  const std::string edited = StoredText(id);
  for (const char* property : {"\nTEL", "\nEMAIL", "\nADR", "\nURL"}) {
    EXPECT_EQ(std::string::npos, edited.find(property)) << edited;
  }
  const Json::Value listed = Listed(id);
  for (const char* list : {"tel", "mail", "adr", "url"}) EXPECT_EQ(0u, listed[list].size()) << list;
}

}  // namespace
