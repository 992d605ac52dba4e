// Adding, editing and deleting contacts through the module's table, as the web pages call it,
// against the real database: replies, error-log and system-log lines, and what is stored.
#include <json/json.h>

#include "db_handler.h"
#include "module_call.h"
#include "records.h"
#include "test_env.h"

using namespace testenv;

namespace {

const char kHeader[] = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODUCTID:-//Orvanta//Veyra//EN\r\n";

struct StoredCard {
  std::string name;
  std::string text;
  std::string uid;
};

class CardEditing : public StoreTest {
 protected:
  // Runs one request through the table row of `method`, as the framework does.
  ORVA::APIResponse Call(const char* method, const Json::Value& params) {
    ORVA::APIResponse response = RunContacts(method, params);
    EXPECT_EQ(1, response.Calls()) << method << " must reply exactly once";
    return response;
  }

  ORVA::APIResponse Add(const std::string& user, const Json::Value& card) {
    return Call("add_card", UserParams(user, "card", card));
  }

  ORVA::APIResponse Edit(const std::string& user, const Json::Value& card) {
    return Call("edit_card", UserParams(user, "card", card));
  }

  ORVA::APIResponse Delete(const std::string& user, const Json::Value& ids) {
    return Call("delete_cards", UserParams(user, "id", ids));
  }

  std::vector<StoredCard> Stored() {
    std::vector<StoredCard> cards;
    for (const Row& row : Caldav::Query("SELECT resource_name, vcard_text, vcard_uid FROM "
                                        "addressbook_object ORDER BY resource_id")) {
      cards.push_back({row[0], row[1], row[2]});
    }
    return cards;
  }

  // The user's cards as the listing gives them.
  Json::Value List(const std::string& user) {
    ORVA::APIResponse response = Call("list_cards", UserParams(user));
    EXPECT_TRUE(response.IsSuccess());
    return response.Data()["cards"];
  }

  // The user provisioned and one card added through the API; returns that card.
  StoredCard AddOne(const std::string& user, const char* family) {
    Json::Value card;
    card["name"]["family_name"] = family;
    card["tel"].append(Entry("555 0100", {"CELL"}));
    EXPECT_TRUE(Add(user, card).IsSuccess());
    std::vector<StoredCard> all = Stored();
    return all.empty() ? StoredCard{} : all.back();
  }

  // The record an edit of `stored` sends when the stored card has only the fresh header.
  static Json::Value EditRecord(const StoredCard& stored) {
    Json::Value card;
    card["other"] = std::string(kHeader) + "UID:" + stored.uid + "\r\n";
    card["resource_name"] = stored.name;
    card["id"] = stored.name;
    card["resource_id"] = "1";
    return card;
  }

  // The stored text and the resource name of the card whose UID is `uid`.
  static std::string TextOf(const std::string& uid) {
    return Caldav::Value("SELECT vcard_text FROM addressbook_object WHERE vcard_uid=" +
                         Caldav::Quote(uid));
  }
  static std::string NameOf(const std::string& uid) {
    return Caldav::Value("SELECT resource_name FROM addressbook_object WHERE vcard_uid=" +
                         Caldav::Quote(uid));
  }

  // Alice's edits of the card `uid`, one record (JSON text) after another; after each the card
  // must be stored as `expected`.
  struct Step {
    const char* record;
    std::string expected;
  };
  void ExpectEditSteps(const std::string& uid, const std::vector<Step>& steps) {
    const std::string name = NameOf(uid);
    for (const Step& step : steps) {
      SCOPED_TRACE(step.record);
      Json::Value card = ParseJson(step.record);
      card["resource_name"] = name;
      ExpectSuccess(Edit("alice", card));
      EXPECT_EQ(step.expected, TextOf(uid));
    }
  }

  static void ExpectError(const ORVA::APIResponse& response, int code, const char* message) {
    EXPECT_FALSE(response.IsSuccess());
    EXPECT_EQ(code, response.ErrorCode());
    EXPECT_EQ(Json::Value(message), response.Data());
  }

  static void ExpectSuccess(const ORVA::APIResponse& response) {
    EXPECT_TRUE(response.IsSuccess()) << response.ToJson().toStyledString();
    EXPECT_TRUE(response.Data().isNull());
  }
};

// --- add -------------------------------------------------------------------------------------

TEST_F(CardEditing, AddOfANewUserProvisionsAndStoresTheCardUnderAFreshUid) {
  Json::Value card = ParseJson(R"({"id":"sent-id","other":"BEGIN:VCARD\r\nX-SENT:1\r\n",
    "resource_name":"r.vcf","name":{"family_name":"Doe","given_name":"Jane","additional_name":""},
    "company":{"org":"Acme","title":""},"tel":[{"type":["CELL"],"data":"555 0100"}],
    "adr":[{"type":["HOME"],"data":"  Main Street 1"}],"note":""})");
  ExpectSuccess(Add("alice", card));

  DBHandler store;
  EXPECT_FALSE(store.GetGUID("alice").empty()) << "the user was provisioned";
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(36u, stored[0].uid.size());
  EXPECT_EQ(std::string(kHeader) + "UID:" + stored[0].uid +
                "\r\nFN:Doe Jane \r\nN:Doe;Jane;;;\r\nORG:Acme\r\nTEL;type=CELL:555 0100\r\n"
                "ADR;type=HOME:;;Main Street 1;;;;\r\nNOTE:\r\nEND:VCARD\r\n",
            stored[0].text);
  EXPECT_NE("r.vcf", stored[0].name);
}

TEST_F(CardEditing, TwoAddsOfOneRecordStoreTwoCardsWithTheirOwnUids) {
  AddOne("alice", "Doe");
  AddOne("alice", "Doe");
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(2u, stored.size());
  EXPECT_NE(stored[0].uid, stored[1].uid);
  EXPECT_NE(std::string::npos, stored[1].text.find("UID:" + stored[1].uid + "\r\n"));
}

TEST_F(CardEditing, HostileValuesAreStoredAsDataNeverAsProperties) {
  Json::Value card;
  card["name"]["family_name"] = "O'Hara \"Jr\"\r\nX-EVIL:1";
  card["name"]["given_name"] = "Zoë\nEND:VCARD";
  card["note"] = "Call first\r\nTime: 10:00";
  card["mail"][0]["data"] = "a@b.example\r\nX-EVIL:2";
  ExpectSuccess(Add("alice", card));
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  const std::string& text = stored[0].text;
  EXPECT_EQ(std::string::npos, text.find("\nX-EVIL")) << text;
  EXPECT_EQ(text.size() - 12, text.find("\nEND")) << "only the last line ends the card";
  EXPECT_NE(std::string::npos, text.find("\r\nN:O'Hara \"Jr\" X-EVIL:1;Zoë END:VCARD;;;\r\n"));
  EXPECT_NE(std::string::npos, text.find("\r\nNOTE:Call first\\nTime: 10:00\r\n"));
}

// --- missing parameters --------------------------------------------------------------------

TEST_F(CardEditing, AnyMissingParameterGivesTheSame900AndLogLine) {
  struct Case {
    const char* method;
    const char* json;
  } cases[] = {
      {"add_card", R"({"user":"alice"})"},
      {"add_card", R"({"card":{}})"},
      {"add_card", R"({})"},
      {"edit_card", R"({"user":"alice"})"},
      {"edit_card", R"({"card":{}})"},
      {"delete_cards", R"({"user":"alice"})"},
      {"delete_cards", R"({"id":[]})"},
      {"delete_cards", R"({})"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.json);
    ExpectError(Call(c.method, ParseJson(c.json)), 900, "Request lost parameters");
    ++n;
    std::string log = ErrorLogText();
    std::size_t count = 0;
    for (std::size_t at = log.find("webapi-ContactAndCalendar:line "); at != std::string::npos;
         at = log.find("webapi-ContactAndCalendar:line ", at + 1)) {
      ++count;
      EXPECT_NE(std::string::npos, log.find(" Request lost parameters\n", at));
    }
    EXPECT_EQ(static_cast<std::size_t>(n), count);
  }
  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

// --- wrong JSON types ----------------------------------------------------------------------

TEST_F(CardEditing, AddOfAWronglyTypedCardIsRefusedAndChangesNothing) {
  struct Case {
    const char* card;
    const char* logged;
  } cases[] = {
      {R"("Jane")", "check type of card(object)"},
      {R"([{}])", "check type of card(object)"},
      {R"({"name":["Doe"]})", "check type of card.name(object)"},
      {R"({"name":{"given_name":{"x":1}}})", "check type of card.name.given_name(string)"},
      {R"({"company":"Acme"})", "check type of card.company(object)"},
      {R"({"company":{"org":["A"]}})", "check type of card.company.org(string)"},
      {R"({"tel":{"data":"1"}})", "check type of card.tel(array)"},
      {R"({"mail":["a@b"]})", "check type of card.mail[0](object)"},
      {R"({"adr":[{},{"data":5}]})", "check type of card.adr[1].data(string)"},
      {R"({"url":[{"type":"WORK","data":"http://x"}]})", "check type of card.url[0].type(array)"},
      {R"({"tel":[{"type":["CELL",7],"data":"1"}]})", "check type of card.tel[0].type[1](string)"},
      {R"({"tel":[{"key":{},"data":"1"}]})", "check type of card.tel[0].key(string)"},
      {R"({"note":["a"]})", "check type of card.note(string)"},
      {R"({"bday":19900101})", "check type of card.bday(string)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.card);
    ExpectError(Add("alice", ParseJson(c.card)), 1011, "Fail to set card");
    EXPECT_NE(std::string::npos, ErrorLogText().find(std::string(" ") + c.logged + "\n"));
  }
  Json::Value params = ParseJson(R"({"user":{"name":"alice"},"card":{}})");
  ExpectError(Call("add_card", params), 1011, "Fail to set card");
  EXPECT_NE(std::string::npos, ErrorLogText().find(" check type of user(string)\n"));

  EXPECT_TRUE(Stored().empty());
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home")) << "nobody provisioned";
}

TEST_F(CardEditing, NullsReadAsEmpty) {
  ExpectSuccess(Add("alice", ParseJson(R"({"name":null,"tel":null,"mail":[null],
    "adr":[{"type":null,"data":null}],"note":null})")));
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(std::string(kHeader) + "UID:" + stored[0].uid +
                "\r\nFN:  \r\nN:;;;;\r\nNOTE:\r\nEND:VCARD\r\n",
            stored[0].text);
}

// --- edit ----------------------------------------------------------------------------------

TEST_F(CardEditing, EditRewritesTheCardBehindItsOwnHeadAndKeepsItsUid) {
  StoredCard before = AddOne("alice", "Doe");
  Json::Value card = EditRecord(before);
  card["name"]["family_name"] = "Roe";
  card["tel"].append(Entry("TEL", "TEL", {"HOME"}, "555 0199"));
  ExpectSuccess(Edit("alice", card));
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(before.name, stored[0].name);
  EXPECT_EQ(before.uid, stored[0].uid);
  // The formatted name followed the name it was made from; the phone line was rewritten in place.
  EXPECT_EQ(std::string(kHeader) + "UID:" + before.uid +
                "\r\nFN:Roe\r\nN:Roe;;;;\r\nTEL;TYPE=HOME:555 0199\r\nNOTE:\r\nEND:VCARD\r\n",
            stored[0].text);
}

TEST_F(CardEditing, EditForAnUnknownUserSucceedsWithoutStoringOrProvisioning) {
  StoredCard before = AddOne("alice", "Doe");
  Syslog::Clear();
  Json::Value card = EditRecord(before);
  card["tel"] = "not even an array";
  ExpectSuccess(Edit("bob", card));
  EXPECT_EQ(1, Syslog::Count("Can't find [bob]'s ID"));
  std::vector<std::string> messages = Syslog::Messages();
  bool formatted = false;
  for (const std::string& m : messages) {
    formatted |= m.rfind("webapi-ContactAndCalendar:", 0) == 0 &&
                 m.find(" Can't find [bob]'s ID") != std::string::npos;
  }
  EXPECT_TRUE(formatted);
  EXPECT_EQ(before.text, Stored()[0].text);
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(CardEditing, EditChangesTheStoredCardWhateverOtherTheRecordCarries) {
  // The stored card heads the edited one: a record's `other` never replaces its lines, so a
  // broken or hostile one changes nothing.
  StoredCard before = AddOne("bob", "Doe");
  const Json::Value listed = List("bob")[0];
  const char* heads[] = {
      "",
      "VERSION:3.0\r\nUID:x\r\n",
      "BEGIN:VCARD\r\nUID:x\r\nEND:VCARD\r\nBEGIN:VCARD\r\n",
      "begin:vcard\r\nuid:x\r\nend:vcard\r\n",
  };
  for (const char* head : heads) {
    SCOPED_TRACE(head);
    Json::Value card = listed;
    card["resource_name"] = before.name;
    card["other"] = head;
    ExpectSuccess(Edit("bob", card));
    EXPECT_EQ(before.text, Stored()[0].text);
  }
  Json::Value card = listed;
  card["resource_name"] = before.name;
  card.removeMember("other");
  ExpectSuccess(Edit("bob", card));
  EXPECT_EQ(before.text, Stored()[0].text);
}

TEST_F(CardEditing, EditChangesOnlyWhatItsRecordNames) {
  // A script sends only what it changes: every key left out stays as stored, a key sent empty
  // clears its part alone.
  AddOne("alice", "Seed");
  DBHandler store;
  const std::string head =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:partial-1\r\nFN:Jane Doe\r\nN:Doe;Jane;;;\r\n"
      "ORG:Acme\r\nTEL;TYPE=CELL:555 0100\r\nTEL;TYPE=WORK:555 0101\r\n"
      "EMAIL:jane@example.org\r\n";
  ASSERT_TRUE(
      store.AddCard(store.GetGUID("alice"), "partial-1", head + "NOTE:old note\r\nEND:VCARD\r\n"));
  ExpectEditSteps(
      "partial-1",
      {
          {R"({"note": "call back"})", head + "NOTE:call back\r\nEND:VCARD\r\n"},
          {R"({"name": {"given_name": "Janet"}})",
           "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:partial-1\r\nFN:Janet Doe\r\nN:Doe;Janet;;;\r\n"
           "ORG:Acme\r\nTEL;TYPE=CELL:555 0100\r\nTEL;TYPE=WORK:555 0101\r\n"
           "EMAIL:jane@example.org\r\nNOTE:call back\r\nEND:VCARD\r\n"},
          {R"({"mail": [], "company": {"title": "Boss"}})",
           "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:partial-1\r\nFN:Janet Doe\r\nN:Doe;Janet;;;\r\n"
           "ORG:Acme\r\nTEL;TYPE=CELL:555 0100\r\nTEL;TYPE=WORK:555 0101\r\n"
           "NOTE:call back\r\nTITLE:Boss\r\nEND:VCARD\r\n"},
          {R"({"note": "", "tel": null})",
           "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:partial-1\r\nFN:Janet Doe\r\nN:Doe;Janet;;;\r\n"
           "ORG:Acme\r\nTITLE:Boss\r\nEND:VCARD\r\n"},
      });
}

TEST_F(CardEditing, GroupsAndPhotoEditsChangeOnlyTheirOwnLines) {
  AddOne("alice", "Seed");
  DBHandler store;
  const std::string top =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:groups-1\r\nFN:Jane Doe\r\nN:Doe;Jane;;;\r\n"
      "TEL;TYPE=CELL:555 0100\r\n";
  const std::string middle = "EMAIL:jane@example.org\r\nX-CUSTOM:kept\r\n";
  ASSERT_TRUE(store.AddCard(store.GetGUID("alice"), "groups-1",
                            top + "CATEGORIES:Work,Club\r\n" + middle +
                                "PHOTO;ENCODING=b;TYPE=PNG:iVBORw0K\r\nCATEGORIES:Extra\r\n"
                                "END:VCARD\r\n"));
  // A photo longer than a line, to be folded as the writer folds.
  const std::string longPhoto = "/9j/" + std::string(196, 'A');
  ExpectEditSteps(
      "groups-1",
      {
          // Every CATEGORIES line becomes the one line of the groups sent, at the first one's
          // place.
          {R"({"categories": ["Family", "Club\\, Inc", ""]})",
           top + "CATEGORIES:Family,Club\\, Inc\r\n" + middle +
               "PHOTO;ENCODING=b;TYPE=PNG:iVBORw0K\r\nEND:VCARD\r\n"},
          // The listing's own values sent back change nothing.
          {R"({"categories": ["Family", "Club\\, Inc"], "photo": true})",
           top + "CATEGORIES:Family,Club\\, Inc\r\n" + middle +
               "PHOTO;ENCODING=b;TYPE=PNG:iVBORw0K\r\nEND:VCARD\r\n"},
          {R"({"photo": "/9j/4AAQ"})", top + "CATEGORIES:Family,Club\\, Inc\r\n" + middle +
                                           "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQ\r\nEND:VCARD\r\n"},
          {R"({"categories": [], "photo": ""})", top + middle + "END:VCARD\r\n"},
          {R"({"categories": ["One"]})", top + middle + "CATEGORIES:One\r\nEND:VCARD\r\n"},
      });
  const std::string name = NameOf("groups-1");
  Json::Value card;
  card["resource_name"] = name;
  card["photo"] = longPhoto;
  ExpectSuccess(Edit("alice", card));
  const std::string stored = TextOf("groups-1");
  EXPECT_EQ(0u, stored.find(top + middle + "CATEGORIES:One\r\nPHOTO;ENCODING=b;TYPE=JPEG:/9j/"));
  for (std::size_t at = 0, end; (end = stored.find("\r\n", at)) != std::string::npos; at = end + 2)
    EXPECT_LE(end - at, 75u);
  for (const Json::Value& listed : List("alice")) {
    if (listed["id"] != name) continue;
    EXPECT_NE(std::string::npos,
              listed["other"].asString().find("PHOTO;ENCODING=b;TYPE=JPEG:" + longPhoto + "\r\n"));
  }

  // A photo is base64 alone, groups a list of texts; anything else changes nothing.
  for (const char* wrong : {R"({"photo": "AB\r\nEMAIL:x@y"})", R"({"photo": 3})",
                            R"({"categories": "Work"})", R"({"categories": [1]})"}) {
    SCOPED_TRACE(wrong);
    Json::Value sent = ParseJson(wrong);
    sent["resource_name"] = name;
    ExpectError(Edit("alice", sent), 1011, "Fail to set card");
    EXPECT_EQ(stored, TextOf("groups-1"));
  }
}

TEST_F(CardEditing, EditOfANameThatIsNoCardOfTheUserIsRefused) {
  StoredCard alices = AddOne("alice", "Doe");
  StoredCard bobs = AddOne("bob", "Bee");
  for (const char* name : {"", "no-such-card.vcf", alices.name.c_str()}) {
    SCOPED_TRACE(name);
    Json::Value card = EditRecord(alices);
    card["resource_name"] = name;
    card["name"]["family_name"] = "Changed";
    ExpectError(Edit("bob", card), 1011, "Fail to set card");
  }
  Json::Value card = EditRecord(alices);
  card.removeMember("resource_name");
  ExpectError(Edit("alice", card), 1011, "Fail to set card");
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(2u, stored.size());
  EXPECT_EQ(alices.text, stored[0].text);
  EXPECT_EQ(bobs.text, stored[1].text);
}

TEST_F(CardEditing, EditOfAWronglyTypedCardIsRefusedAndChangesNothing) {
  StoredCard before = AddOne("alice", "Doe");
  struct Case {
    const char* field;
    const char* json;
    const char* logged;
  } cases[] = {
      {"other", R"(["BEGIN:VCARD"])", "check type of card.other(string)"},
      {"resource_name", "7", "check type of card.resource_name(string)"},
      {"mail", R"({"0":{"data":"a@b"}})", "check type of card.mail(array)"},
      {"company", R"([])", "check type of card.company(object)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    Json::Value card = EditRecord(before);
    card[c.field] = ParseJson(c.json);
    ExpectError(Edit("alice", card), 1011, "Fail to set card");
    EXPECT_NE(std::string::npos, ErrorLogText().find(std::string(" ") + c.logged + "\n"));
  }
  Json::Value params = ParseJson(R"({"user":"alice","card":"BEGIN:VCARD"})");
  ExpectError(Call("edit_card", params), 1011, "Fail to set card");
  EXPECT_EQ(before.text, Stored()[0].text);
}

// --- through the listing, as the web pages do it --------------------------------------------

TEST_F(CardEditing, AddedCardListsEditsAndDeletesKeepingItsHeadAndLabels) {
  Json::Value card = ParseJson(R"({"name":{"family_name":"Doe","given_name":"Jane"},
    "tel":[{"type":["CELL"],"data":"555 0100"},{"cust_name":"Boat","type":["CELL"],"data":"555 0111"}],
    "mail":[{"data":"plain@example.org"}],"note":"Gate code\nTime: 10:00"})");
  ExpectSuccess(Add("alice", card));
  Json::Value cards = List("alice");
  ASSERT_EQ(1u, cards.size());
  const Json::Value listed = cards[0];
  const std::string uid = Stored()[0].uid;
  // The fresh header and UID and the new group's label line, in stored order; the untyped
  // e-mail is an entry like any other.
  EXPECT_EQ(std::string(kHeader) + "UID:" + uid + "\r\nitem1.X-ABLabel:Boat\r\n",
            listed["other"].asString());
  EXPECT_EQ(Json::Value("plain@example.org"), listed["mail"][0]["data"]);
  EXPECT_EQ(Json::Value("Boat"), listed["tel"][1]["cust_name"]);
  EXPECT_EQ(Json::Value("item1.TEL"), listed["tel"][1]["key"]);
  EXPECT_EQ(Json::Value("Gate code\\nTime: 10:00"), listed["note"]);

  const std::string before = Stored()[0].text;
  Json::Value edited = listed;
  edited["resource_name"] = listed["id"];
  edited["tel"][0]["data"] = "555 0199";
  ExpectSuccess(Edit("alice", edited));
  cards = List("alice");
  ASSERT_EQ(1u, cards.size());
  Json::Value expected = listed;
  expected["tel"][0]["data"] = "555 0199";
  expected.removeMember("etag");
  cards[0].removeMember("etag");
  EXPECT_EQ(expected, cards[0]) << cards[0].toStyledString();
  // Only the phone's line changed.
  std::string text = before;
  text.replace(text.find("555 0100"), 8, "555 0199");
  EXPECT_EQ(text, Stored()[0].text);
  EXPECT_EQ(uid, Stored()[0].uid);

  Json::Value ids(Json::arrayValue);
  ids.append(listed["id"]);
  ExpectSuccess(Delete("alice", ids));
  EXPECT_EQ(Json::Value(Json::arrayValue), List("alice"));
}

TEST_F(CardEditing, EditOfAClientsCardKeepsEveryUnmappedLineInOrder) {
  AddOne("alice", "Seed");  // provisions alice
  DBHandler store;
  const std::string unmapped =
      "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Phone Maker//Contacts 9//EN\r\n"
      "UID:client-card-1\r\nX-PHONETIC-LAST-NAME:Dow\r\n"
      "item1.X-ABDATE;type=pref:1975-03-01\r\nitem1.X-ABLabel:_$!<Anniversary>!$_\r\n"
      "PHOTO;ENCODING=b;TYPE=JPEG:/9j/4AAQSkZJRgABAQ\r\n"
      "item2.X-ABLabel:_$!<Work>!$_\r\nCATEGORIES:Friends,Work\r\nREV:2024-01-01T00:00:00Z\r\n";
  const std::string text = unmapped +
                           "FN:Jane Doe\r\nN:Doe;Jane;;;\r\nTEL;type=CELL:555 0100\r\n"
                           "item2.EMAIL;type=INTERNET:jane@work.example\r\nEND:VCARD\r\n";
  ASSERT_TRUE(store.AddCard(store.GetGUID("alice"), "client-card-1", text));
  Json::Value listed;
  for (const Json::Value& card : List("alice")) {
    if (card["other"].asString().find("client-card-1") != std::string::npos) listed = card;
  }
  ASSERT_EQ(unmapped, listed["other"].asString());
  ASSERT_EQ(Json::Value("Work"), listed["mail"][0]["cust_name"]);

  Json::Value edited = listed;
  edited["resource_name"] = listed["id"];
  edited["tel"][0]["data"] = "555 0199";
  ExpectSuccess(Edit("alice", edited));
  std::string stored = TextOf("client-card-1");
  EXPECT_EQ(unmapped +
                "FN:Jane Doe\r\nN:Doe;Jane;;;\r\nTEL;type=CELL:555 0199\r\n"
                "item2.EMAIL;type=INTERNET:jane@work.example\r\nEND:VCARD\r\n",
            stored);
  Json::Value expected = listed;
  expected["tel"][0]["data"] = "555 0199";
  Json::Value after;
  for (const Json::Value& card : List("alice")) {
    if (card["id"] == listed["id"]) after = card;
  }
  expected.removeMember("etag");
  after.removeMember("etag");
  EXPECT_EQ(expected, after) << after.toStyledString();
}

// --- delete --------------------------------------------------------------------------------

TEST_F(CardEditing, DeleteRemovesTheNamedCardsOnly) {
  StoredCard first = AddOne("alice", "One");
  StoredCard second = AddOne("alice", "Two");
  StoredCard third = AddOne("alice", "Three");
  Json::Value ids;
  ids.append(first.name);
  ids.append(third.name);
  ExpectSuccess(Delete("alice", ids));
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(second.name, stored[0].name);
}

TEST_F(CardEditing, DeleteStopsAtTheFirstFailureAndKeepsWhatItDid) {
  StoredCard first = AddOne("alice", "One");
  StoredCard third = AddOne("alice", "Three");
  Json::Value ids;
  ids.append(first.name);
  // Not valid UTF-8: the database refuses the statement.
  ids.append("\xff\xfe.vcf");
  ids.append(third.name);
  ExpectError(Delete("alice", ids), 1009, "Fail to delete item(s) from DB");
  std::vector<StoredCard> stored = Stored();
  ASSERT_EQ(1u, stored.size());
  EXPECT_EQ(third.name, stored[0].name);
  EXPECT_EQ(std::string::npos, ErrorLogText().find("Fail to delete")) << "not an error-log line";
}

TEST_F(CardEditing, DeleteOfNamesThatAreNoCardOfTheUserSucceedsAndLeavesOthersAlone) {
  StoredCard bobs = AddOne("bob", "Bee");
  AddOne("alice", "Doe");
  Json::Value ids;
  ids.append("no-such-card.vcf");
  ids.append(bobs.name);
  ExpectSuccess(Delete("alice", ids));
  EXPECT_EQ(2u, Stored().size());
  ExpectSuccess(Delete("alice", Json::Value(Json::arrayValue)));
  EXPECT_EQ(2u, Stored().size());
}

TEST_F(CardEditing, DeleteChecksTheUserBeforeTheTypeOfTheIdList) {
  StoredCard card = AddOne("alice", "Doe");
  ExpectSuccess(Delete("nobody", Json::Value(card.name)));
  EXPECT_EQ(1, Syslog::Count("Can't find [nobody]'s ID"));
  EXPECT_EQ("", ErrorLogText());

  ExpectError(Delete("alice", Json::Value(card.name)), 901, "Incorrect parameter: Need ");
  EXPECT_NE(std::string::npos, ErrorLogText().find(" check type of id(array)\n"));
  EXPECT_EQ(1u, Stored().size());
}

TEST_F(CardEditing, DeleteWithAWronglyTypedElementDeletesNothing) {
  StoredCard card = AddOne("alice", "Doe");
  for (const char* json : {"[\"x\", 5]", "[\"x\", null]", "[\"x\", [\"y\"]]", "[\"x\", {}]"}) {
    SCOPED_TRACE(json);
    Json::Value ids = ParseJson(json);
    ids[0] = card.name;
    ExpectError(Delete("alice", ids), 901, "Incorrect parameter: Need ");
    EXPECT_EQ(1u, Stored().size());
  }
  EXPECT_NE(std::string::npos, ErrorLogText().find(" check type of id[1](string)\n"));
  ExpectError(Delete("alice", ParseJson(R"({"0":"x"})")), 901, "Incorrect parameter: Need ");
  Json::Value params = ParseJson(R"({"user":["alice"],"id":[]})");
  ExpectError(Call("delete_cards", params), 901, "Incorrect parameter: Need ");
  EXPECT_EQ(1u, Stored().size());
}

// The front hands a name made of digits ("user=1000") to the module as a JSON number: every
// method must take it for the same user the listing shows.
TEST_F(CardEditing, ANameOfDigitsSentAsANumberIsTheSameUserEverywhere) {
  Json::Value params;
  params["user"] = 1000;
  params["card"] = ParseJson(R"({"name":{"family_name":"Numbers"},"tel":[{"data":"1"}]})");
  ExpectSuccess(Call("add_card", params));
  Json::Value listed = List("1000");
  ASSERT_EQ(1u, listed.size());

  Json::Value record = listed[0];
  record["resource_name"] = record["id"];
  record["company"]["org"] = "Edited";
  params["card"] = record;
  ExpectSuccess(Call("edit_card", params));
  EXPECT_EQ("Edited", List("1000")[0]["company"]["org"].asString());

  params.removeMember("card");
  params["id"][0] = record["id"];
  ExpectSuccess(Call("delete_cards", params));
  EXPECT_EQ(0u, List("1000").size());
}

}  // namespace
