// The two download operations as the framework calls them through the module's table: the exact
// bytes they write to standard output, and the 404 reply that replaces everything on a failure.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "db_handler.h"
#include "module_call.h"
#include "test_env.h"
#include "users.h"

using namespace testenv;

namespace {

const char kNotFound[] = "Status: 404 Not Found\r\n\r\n";

std::string Header(size_t length) {
  return "Content-Length: " + std::to_string(length) +
         "\r\nContent-Type: text/x-vcard\r\n"
         "Content-Disposition:attachment; filename=\"Contact.vcf\"\n\n";
}

std::string Download(const std::string& body) { return Header(body.size()) + body; }

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class CardExport : public TwoUsersTest {
 protected:
  void SetUp() override {
    TwoUsersTest::SetUp();
    adaHome = Caldav::HomeOf(adaGuid);
    bobHome = Caldav::HomeOf(bobGuid);
  }

  // Stores a card row directly and returns its resource id.
  static std::string StoreCard(const std::string& home, const std::string& text) {
    static int serial = 0;
    const std::string name = "card" + std::to_string(++serial);
    return Caldav::InsertCard(home, name + ".vcf", text, name);
  }

  // Runs `method` with `params` and returns every byte it wrote to standard output.
  std::string Run(const char* method, const Json::Value& params) {
    ORVA::APIResponse response;
    const std::string reply =
        CallContactsCapturingStdout(method, params, root.Path("/stdout"), response);
    // The download is the whole reply: a result set on the response would be sent after it.
    EXPECT_EQ(0, response.Calls()) << method;
    return reply;
  }

  static Json::Value Params(const std::string& user, const Json::Value& id) {
    Json::Value params(Json::objectValue);
    params["user"] = user;
    params["id"] = id;
    return params;
  }

  static Json::Value Ids(std::initializer_list<std::string> ids) {
    Json::Value list(Json::arrayValue);
    for (const auto& id : ids) list.append(id);
    return list;
  }

  std::string adaHome, bobHome;
};

const std::string kPlain =
    "BEGIN:VCARD\r\nFN:Plain Person\r\nTEL;TYPE=CELL:+1 555 0100\r\nVERSION:3.0\r\nUID:p\r\n"
    "END:VCARD\r\n";
// Two-, three- and four-byte UTF-8 sequences: the length must count bytes, not characters.
const std::string kUtf8 =
    "BEGIN:VCARD\r\nFN:J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0 \xF0\x9F\x98\x80\r\n"
    "NOTE:Stra\xC3\x9F"
    "e\\, 5\\nZ\xC3\xBCrich\r\nVERSION:3.0\r\nUID:u\r\nEND:VCARD\r\n";

TEST_F(CardExport, ChosenCardsAreSentInRequestOrderWithExactHeaders) {
  const std::string plain = StoreCard(adaHome, kPlain);
  const std::string utf8 = StoreCard(adaHome, kUtf8);
  const std::string body = kUtf8 + "\n" + kPlain + "\n" + kUtf8 + "\n";
  const std::string reply = Run("export_cards", Params("ada", Ids({utf8, plain, utf8})));
  EXPECT_EQ(Download(body), reply);
  // Counted by hand: the UTF-8 card is 95 bytes (85 characters), the plain one 88.
  EXPECT_EQ(0u, reply.find("Content-Length: 281\r\n")) << reply;
  EXPECT_EQ("", ErrorLogText());
}

TEST_F(CardExport, NumericIdsReadAsTheirDigits) {
  const std::string id = StoreCard(adaHome, kPlain);
  Json::Value ids(Json::arrayValue);
  ids.append(std::stoi(id));
  ids.append(Json::Value(static_cast<Json::UInt64>(std::stoul(id))));
  EXPECT_EQ(Download(kPlain + "\n" + kPlain + "\n"), Run("export_cards", Params("ada", ids)));
}

TEST_F(CardExport, StoredTextsPassUnchanged) {
  // Whatever the store holds goes out as is: no line end added or converted, empty text kept.
  const std::string bare = StoreCard(adaHome, "BEGIN:VCARD\nFN:lf only\nEND:VCARD");
  const std::string empty = StoreCard(adaHome, "");
  EXPECT_EQ(Download("BEGIN:VCARD\nFN:lf only\nEND:VCARD\n\n"),
            Run("export_cards", Params("ada", Ids({bare, empty}))));
}

TEST_F(CardExport, EmptyIdListGivesAnEmptyDownload) {
  StoreCard(adaHome, kPlain);
  EXPECT_EQ(Download(""), Run("export_cards", Params("ada", Json::Value(Json::arrayValue))));
}

TEST_F(CardExport, AllCardsOfTheUserAndNoOthers) {
  const std::vector<std::string> ada = {kPlain, kUtf8, "BEGIN:VCARD\r\nFN:Third\r\nEND:VCARD\r\n"};
  for (const auto& text : ada) StoreCard(adaHome, text);
  StoreCard(bobHome, "BEGIN:VCARD\r\nFN:Not Ada's\r\nEND:VCARD\r\n");
  Json::Value params(Json::objectValue);
  params["user"] = "ada";
  const std::string reply = Run("export_all_cards", params);

  size_t total = 0;
  for (const auto& text : ada) total += text.size() + 1;
  const std::string header = Header(total);
  ASSERT_EQ(header.size() + total, reply.size()) << reply;
  ASSERT_EQ(header, reply.substr(0, header.size()));
  // The store gives no order: the body must be the three cards, each with its line feed, in any.
  std::vector<std::string> pieces;
  std::string body = reply.substr(header.size());
  for (size_t at = 0; at < body.size();) {
    size_t end = body.find("END:VCARD\r\n\n", at);
    ASSERT_NE(std::string::npos, end) << body.substr(at);
    pieces.push_back(body.substr(at, end + 11 - at));
    at = end + 12;
  }
  std::vector<std::string> expected = ada;
  std::sort(pieces.begin(), pieces.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, pieces);
}

TEST_F(CardExport, EmptyOrMissingAddressBookGivesAnEmptyDownload) {
  Json::Value params(Json::objectValue);
  params["user"] = "ada";
  EXPECT_EQ(Download(""), Run("export_all_cards", params));
  // Known to the mapping, but no address book was ever made for the user.
  DBHandler store;
  ASSERT_EQ(36u, store.SetGUID("cleo").size());
  params["user"] = "cleo";
  EXPECT_EQ(Download(""), Run("export_all_cards", params));
}

TEST_F(CardExport, StoreThatCannotBeReachedGives404NotAnEmptyDownload) {
  StoreCard(adaHome, kPlain);
  Json::Value params(Json::objectValue);
  params["user"] = "ada";
  const char* saved = std::getenv("PGHOST");
  const std::string pghost = saved ? saved : "";
  setenv("PGHOST", "/nonexistent-socket-dir", 1);
  const std::string reply = Run("export_all_cards", params);
  saved ? setenv("PGHOST", pghost.c_str(), 1) : unsetenv("PGHOST");
  EXPECT_EQ(kNotFound, reply);
}

TEST_F(CardExport, AnyUnreadableCardTurnsTheWholeReplyInto404) {
  const std::string own = StoreCard(adaHome, kPlain);
  const std::string foreign = StoreCard(bobHome, kUtf8);
  for (const Json::Value& ids : {Ids({foreign}), Ids({own, foreign}), Ids({own, "999999"}),
                                 Ids({own, "abc"}), Ids({own, own + "' OR '1'='1"})}) {
    EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", ids))) << ids.toStyledString();
  }
}

TEST_F(CardExport, IdsOfTheWrongTypeGive404WithoutAnException) {
  const std::string own = StoreCard(adaHome, kPlain);
  EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", own)));
  EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", Json::Value(std::stoi(own)))));
  Json::Value object(Json::objectValue);
  object["0"] = own;
  EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", object)));
  EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", Json::Value())));
  EXPECT_EQ(4u, Occurrences(ErrorLogText(), " check type of id(array)\n"));

  // Elements that are neither text nor a whole number.
  Json::Value nested(Json::arrayValue);
  nested.append(own);
  for (const Json::Value& element :
       {Json::Value(), Json::Value(true), Json::Value(2.5), nested, object}) {
    Json::Value ids(Json::arrayValue);
    ids.append(own);
    ids.append(element);
    EXPECT_EQ(kNotFound, Run("export_cards", Params("ada", ids))) << element.toStyledString();
  }
}

TEST_F(CardExport, MissingParametersAreLoggedAndGive404) {
  Json::Value noId(Json::objectValue);
  noId["user"] = "ada";
  EXPECT_EQ(kNotFound, Run("export_cards", noId));
  Json::Value noUser(Json::objectValue);
  noUser["id"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(kNotFound, Run("export_cards", noUser));
  EXPECT_EQ(kNotFound, Run("export_all_cards", Json::Value(Json::objectValue)));
  const std::string log = ErrorLogText();
  EXPECT_EQ(3u, Occurrences(log, " webapi-ContactAndCalendar:line ")) << log;
  EXPECT_EQ(3u, Occurrences(log, " Request lost parameters\n")) << log;
}

TEST_F(CardExport, NumericUserNameReadsAsItsDigits) {
  // The front decodes user=1000 as a number.
  DBHandler store;
  ASSERT_TRUE(store.SetupUserBasicInfo("1000"));
  const std::string id = StoreCard(Caldav::HomeOf(store.GetGUID("1000")), kPlain);
  Json::Value params(Json::objectValue);
  params["user"] = 1000;
  EXPECT_EQ(Download(kPlain + "\n"), Run("export_all_cards", params));
  params["id"] = Ids({id});
  EXPECT_EQ(Download(kPlain + "\n"), Run("export_cards", params));
}

TEST_F(CardExport, UnknownOrMistypedUserGives404) {
  const std::string own = StoreCard(adaHome, kPlain);
  EXPECT_EQ(kNotFound, Run("export_cards", Params("nobody", Ids({own}))));
  Json::Value params(Json::objectValue);
  params["user"] = "nobody";
  EXPECT_EQ(kNotFound, Run("export_all_cards", params));
  EXPECT_EQ(2, Syslog::Count("Can't find [nobody]'s ID"));

  for (const Json::Value& user : {Json::Value(Json::arrayValue), Json::Value(Json::objectValue)}) {
    Json::Value mistyped(Json::objectValue);
    mistyped["user"] = user;
    mistyped["id"] = Ids({own});
    EXPECT_EQ(kNotFound, Run("export_cards", mistyped));
    EXPECT_EQ(kNotFound, Run("export_all_cards", mistyped));
  }
}

}  // namespace
