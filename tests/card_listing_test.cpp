// "list_cards" through the module's entry function against the real store: provisioning of a new
// user, the card records with their ids, search, labels per card, and the error replies.
#include <json/reader.h>
#include <json/writer.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "contact_and_calendar_handler.h"
#include "db_handler.h"
#include "lighttpd.h"
#include "lumidex_paths.h"
#include "signin.h"
#include "test_env.h"

extern "C" void contact_list_cards(ORVA::APIRequest* request, ORVA::APIResponse* response);

using namespace testenv;

namespace {

class CardListing : public StoreTest {
 protected:
  // One request as the framework makes it; `params` is the request's parameter object.
  ORVA::APIResponse List(const Json::Value& params) {
    ORVA::APIRequest request(params);
    ORVA::APIResponse response;
    contact_list_cards(&request, &response);
    EXPECT_EQ(1, response.Calls()) << "one reply per request";
    return response;
  }

  ORVA::APIResponse ListFor(const std::string& user, const char* searchKey = nullptr) {
    Json::Value params(Json::objectValue);
    params["user"] = user;
    if (searchKey) params["search_key"] = searchKey;
    return List(params);
  }

  // The resource names of the listed cards, in reply order.
  std::vector<std::string> Ids(const ORVA::APIResponse& response) {
    std::vector<std::string> ids;
    EXPECT_TRUE(response.IsSuccess());
    for (const Json::Value& card : response.Data()["cards"]) ids.push_back(card["id"].asString());
    return ids;
  }

  std::string HomeOf(const std::string& user) {
    DBHandler store;
    if (store.GetGUID(user).empty()) store.SetupUserBasicInfo(user);
    const std::string guid = store.GetGUID(user);
    EXPECT_EQ(36u, guid.size());
    return Caldav::HomeOf(guid);
  }

  // Stores a card as the daemon would hold it; returns its resource id.
  std::string Store(const std::string& user, const std::string& name, const std::string& text) {
    return Caldav::InsertCard(HomeOf(user), name, text, "uid-" + name);
  }

  void ExpectLostParameters(const ORVA::APIResponse& response) {
    EXPECT_FALSE(response.IsSuccess());
    EXPECT_EQ(900, response.ErrorCode());
    EXPECT_EQ(Json::Value("Request lost parameters"), response.Data());
    EXPECT_TRUE(std::regex_match(ErrorLogText(),
                                 std::regex("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d "
                                            "webapi-ContactAndCalendar:line \\d+ Request lost "
                                            "parameters\n")))
        << ErrorLogText();
  }
};

const char kJohn[] =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Smith;John;;;\r\nFN:John Smith\r\nORG:Acme Widgets;\r\n"
    "TITLE:Buyer\r\nitem1.EMAIL;type=INTERNET;type=pref:john.smith@acme.example\r\n"
    "item1.X-ABLabel:_$!<Work>!$_\r\nTEL;type=CELL;type=VOICE:+1 (555) 010-2000\r\n"
    "NOTE:Met at the zoo\r\nEND:VCARD\r\n";
const char kMaria[] =
    "BEGIN:VCARD\r\nVERSION:3.0\r\nN:M\xC3\xBCller;Maria;;;\r\nFN:Maria M\xC3\xBCller\r\n"
    "ORG:Globex\r\nitem1.EMAIL;type=INTERNET:MARIA.JOHANSSON@GLOBEX.EXAMPLE\r\n"
    "TEL;type=WORK:555-0142\r\nNOTE:zebra keeper\r\nEND:VCARD\r\n";
const char kZed[] =
    "BEGIN:VCARD\nVERSION:3.0\nN:Zed;Zack;;;\nFN:Zack Zed\nORG:Initech\n"
    "EMAIL:zack@initech.example\nTEL;type=HOME:5550199\nNOTE:knows jo from work\n"
    "ADR;type=HOME:;;1 Jo Road;Springfield;;;\nEND:VCARD\n";

TEST_F(CardListing, NewUserIsProvisionedByTheFirstListingAndHasNoCards) {
  ASSERT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
  const ORVA::APIResponse response = ListFor("newcomer");
  ASSERT_TRUE(response.IsSuccess());
  Json::Value expected(Json::objectValue);
  expected["cards"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(expected, response.Data());
  DBHandler store;
  const std::string guid = store.GetGUID("newcomer");
  ASSERT_EQ(36u, guid.size());
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home WHERE owner_uid=" +
                               Caldav::Quote(guid)));
  // A second listing finds the user and provisions nothing more.
  EXPECT_EQ(expected, ListFor("newcomer").Data());
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(CardListing, UserMappedButWithoutAnAddressBookIsProvisionedByTheListing) {
  // What a first request while the daemon's database was down leaves behind.
  DBHandler store;
  const std::string guid = store.SetGUID("cleo");
  ASSERT_EQ(36u, guid.size());
  ASSERT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
  const ORVA::APIResponse response = ListFor("cleo");
  ASSERT_TRUE(response.IsSuccess());
  EXPECT_TRUE(response.Data()["cards"].empty());
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home WHERE owner_uid=" +
                               Caldav::Quote(guid)));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home_metadata"));
}

TEST_F(CardListing, CardsComeBackAsRecordsWithTheirIdsInStoreOrder) {
  const std::string johnId = Store("ann", "c-john.vcf", kJohn);
  Store("ann", "a-maria.vcf", kMaria);
  Store("ann", "b-zed.vcf", kZed);
  Store("bob", "bobs.vcf", kJohn);  // another user's card never shows
  // Rewriting the first card moves its row behind the others in the table.
  Caldav::Exec("UPDATE addressbook_object SET md5='x' WHERE resource_name='c-john.vcf'");
  const std::string home = HomeOf("ann");
  std::vector<std::string> storeOrder;
  for (const Row& row : Caldav::Query("SELECT resource_name FROM addressbook_object WHERE "
                                      "addressbook_home_resource_id=" +
                                      home)) {
    storeOrder.push_back(row[0]);
  }
  ASSERT_EQ(3u, storeOrder.size());
  ASSERT_EQ("c-john.vcf", storeOrder.back());

  const ORVA::APIResponse response = ListFor("ann");
  EXPECT_EQ(storeOrder, Ids(response));
  const Json::Value& john = response.Data()["cards"][2];
  EXPECT_EQ(johnId, john["resource_id"].asString());
  EXPECT_EQ("Smith", john["name"]["family_name"].asString());
  EXPECT_EQ("Acme Widgets", john["company"]["org"].asString());
  EXPECT_EQ("Work", john["mail"][0]["cust_name"].asString());
  EXPECT_EQ("+1 (555) 010-2000", john["tel"][0]["data"].asString());
  EXPECT_EQ("Met at the zoo", john["note"].asString());
  EXPECT_EQ("BEGIN:VCARD\r\nVERSION:3.0\r\nitem1.X-ABLabel:_$!<Work>!$_\r\n",
            john["other"].asString());
  EXPECT_EQ(1u, response.Data().size());  // nothing but "cards"
  // Each record carries its card's stored digest as its etag.
  for (const Json::Value& card : response.Data()["cards"]) {
    EXPECT_EQ(Caldav::Value("SELECT md5 FROM addressbook_object WHERE resource_name=" +
                            Caldav::Quote(card["id"].asString())),
              card["etag"].asString());
  }
  EXPECT_EQ("x", john["etag"].asString().substr(0, 1));
}

TEST_F(CardListing, MissingOrEmptySearchTextListsEveryCard) {
  Store("ann", "1.vcf", kJohn);
  Store("ann", "2.vcf", kMaria);
  Store("ann", "3.vcf", "");  // a text the reader makes nothing of is still listed
  const std::vector<std::string> all = {"1.vcf", "2.vcf", "3.vcf"};
  EXPECT_EQ(all, Ids(ListFor("ann")));
  EXPECT_EQ(all, Ids(ListFor("ann", "")));
  Json::Value nullKey(Json::objectValue);
  nullKey["user"] = "ann";
  nullKey["search_key"] = Json::Value();
  EXPECT_EQ(all, Ids(List(nullKey)));
  const ORVA::APIResponse response = ListFor("ann");
  const Json::Value& empty = response.Data()["cards"][2];
  EXPECT_EQ("", empty["other"].asString());
  EXPECT_EQ("", empty["name"]["given_name"].asString());
}

TEST_F(CardListing, SearchLooksInNamesCompanyMailAndPhoneIgnoringCase) {
  Store("ann", "john.vcf", kJohn);
  Store("ann", "maria.vcf", kMaria);
  Store("ann", "zed.vcf", kZed);
  using Ids_ = std::vector<std::string>;
  // Given name John, and an e-mail in capitals holding JO; Zed has jo only in note and address.
  EXPECT_EQ((Ids_{"john.vcf", "maria.vcf"}), Ids(ListFor("ann", "jo")));
  EXPECT_EQ((Ids_{"john.vcf", "maria.vcf"}), Ids(ListFor("ann", "JO")));
  EXPECT_EQ((Ids_{"john.vcf"}), Ids(ListFor("ann", "smith")));        // family name
  EXPECT_EQ((Ids_{"maria.vcf"}), Ids(ListFor("ann", "GLOBEX")));      // company
  EXPECT_EQ((Ids_{"john.vcf"}), Ids(ListFor("ann", "buyer")));        // title
  EXPECT_EQ((Ids_{"maria.vcf"}), Ids(ListFor("ann", "johansson@")));  // e-mail
  EXPECT_EQ((Ids_{"maria.vcf"}), Ids(ListFor("ann", "0142")));        // phone substring
  EXPECT_EQ((Ids_{"john.vcf"}), Ids(ListFor("ann", "(555) 010")));    // as written
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "5550102000")));      // digits alone miss punctuation
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "zoo")));             // note
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "zebra")));           // note
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "springfield")));     // address
  EXPECT_EQ(Ids_{"zed.vcf"}, Ids(ListFor("ann", "zack@")));  // an e-mail without parameters
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "work")));            // labels and types are not searched
  EXPECT_EQ((Ids_{"zed.vcf"}), Ids(ListFor("ann", "5550199")));
  // Under the default locale only A to Z change case; UTF-8 bytes must match exactly.
  EXPECT_EQ((Ids_{"maria.vcf"}), Ids(ListFor("ann", "m\xC3\xBCller")));
  EXPECT_EQ(Ids_{}, Ids(ListFor("ann", "M\xC3\x9CLLER")));
}

TEST_F(CardListing, ACardShowsOnlyTheLabelsItDefinesItself) {
  // Both cards use group item1; only the first labels it.
  Store("ann", "1-labelled.vcf", kJohn);
  Store("ann", "2-unlabelled.vcf", kMaria);
  const ORVA::APIResponse response = ListFor("ann");
  ASSERT_EQ((std::vector<std::string>{"1-labelled.vcf", "2-unlabelled.vcf"}), Ids(response));
  EXPECT_EQ("Work", response.Data()["cards"][0]["mail"][0]["cust_name"].asString());
  const Json::Value& unlabelled = response.Data()["cards"][1]["mail"][0];
  EXPECT_TRUE(unlabelled.isMember("cust_name"));
  EXPECT_TRUE(unlabelled["cust_name"].isNull()) << unlabelled;
}

TEST_F(CardListing, MissingUserIsRefusedWithTheLoggedMessage) {
  ExpectLostParameters(List(Json::Value(Json::objectValue)));
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(CardListing, UserOrSearchTextThatIsNotTextIsRefusedNotThrown) {
  for (const Json::Value& bad : {Json::Value(Json::objectValue), Json::Value(Json::arrayValue)}) {
    std::filesystem::remove(root.Path(lumidex::kErrorLogPath));
    Json::Value params(Json::objectValue);
    params["user"] = bad;
    ExpectLostParameters(List(params));

    std::filesystem::remove(root.Path(lumidex::kErrorLogPath));
    params["user"] = "ann";
    params["search_key"] = bad;
    ExpectLostParameters(List(params));
  }
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(CardListing, NumbersAreReadAsTheirText) {
  Store("4711", "maria.vcf", kMaria);
  Store("4711", "john.vcf", kJohn);
  Json::Value params(Json::objectValue);
  params["user"] = 4711;
  params["search_key"] = 142;
  EXPECT_EQ((std::vector<std::string>{"maria.vcf"}), Ids(List(params)));
}

TEST_F(CardListing, ACardStoredInTheDatabaseReachesAWebClientAsItsRecord) {
  const std::string resourceId = Store("ann", "web.vcf", kJohn);
  Store("ann", "other.vcf", kZed);
  Lighttpd server(root.Dir());
  ASSERT_TRUE(server.Started()) << server.Log();
  const HttpReply http = HttpRequest(
      server.Port(), "GET",
      "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts&version=1&method=list_cards"
      "&user=ann&search_key=" +
          UrlEncode("Acme W"),
      {"Authorization: " + AdminAuthorization(root)});
  ASSERT_TRUE(http.received) << server.Log();
  EXPECT_EQ(200, http.status) << http.raw;
  Json::Value reply;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  ASSERT_TRUE(reader->parse(http.body.data(), http.body.data() + http.body.size(), &reply, &errors))
      << http.raw;
  EXPECT_EQ(Json::Value(true), reply["success"]) << http.raw;
  ASSERT_EQ(1u, reply["data"]["cards"].size()) << http.raw;
  const Json::Value& card = reply["data"]["cards"][0];
  EXPECT_EQ("web.vcf", card["id"].asString());
  EXPECT_EQ(resourceId, card["resource_id"].asString());
  EXPECT_EQ("John", card["name"]["given_name"].asString());
  EXPECT_EQ("Work", card["mail"][0]["cust_name"].asString());
  EXPECT_EQ("CELL", card["tel"][0]["type"][0].asString());
  // The same record as the module gives in-process.
  EXPECT_EQ(ListFor("ann", "Acme W").Data()["cards"][0], card);
}

TEST_F(CardListing, UnreachableStoreIsAnErrorNotAnEmptyList) {
  Store("ann", "john.vcf", kJohn);
  const char* saved = std::getenv("PGHOST");
  const std::string pghost = saved ? saved : "";
  setenv("PGHOST", "/nonexistent-socket-dir", 1);
  const ORVA::APIResponse response = ListFor("ann");
  saved ? setenv("PGHOST", pghost.c_str(), 1) : unsetenv("PGHOST");
  EXPECT_EQ(1012, response.ErrorCode());
  EXPECT_EQ(Json::Value("Fail to read cards from DB"), response.Data());
  EXPECT_NE(std::string::npos, ErrorLogText().find("Fail to read cards from DB\n"));
  EXPECT_EQ(1, Syslog::Count("Can't Connect to SQL DB!!"));
}

}  // namespace
