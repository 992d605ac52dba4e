// No acknowledged write is lost: clients through lighttpd and the CGI front against the real
// database, writing in parallel while new users arrive, while the database is stopped and
// started, and while whole address books are downloaded as their cards are deleted. Also the
// error replies that stand where a failed read used to pass for an unknown user or no cards.
#include <json/reader.h>
#include <json/writer.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db_handler.h"
#include "lighttpd.h"
#include "lumidex_paths.h"
#include "module_call.h"
#include "process.h"
#include "signin.h"
#include "test_env.h"

using namespace testenv;

namespace {

using Clock = std::chrono::steady_clock;
const char kContacts[] = "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts&version=1";
const char kNotFound[] = "Status: 404 Not Found\r\n\r\n";

// A name no other marker contains, so that a card is found by a plain substring.
std::string Marker(const std::string& kind, int worker, int serial) {
  return kind + std::to_string(worker) + "n" + std::to_string(serial) + "x";
}

std::string CardRecord(const std::string& familyName) {
  Json::Value card(Json::objectValue);
  card["name"]["family_name"] = familyName;
  card["name"]["given_name"] = "Soak";
  card["name"]["additional_name"] = "";
  card["company"]["org"] = "";
  card["company"]["title"] = "";
  card["tel"] = Json::Value(Json::arrayValue);
  card["mail"] = Json::Value(Json::arrayValue);
  card["note"] = "";
  return Json::writeString(Json::StreamWriterBuilder(), card);
}

// How many stored cards hold `text`.
int StoredWith(const std::string& text) {
  return std::stoi(
      Caldav::Value("SELECT count(*) FROM addressbook_object WHERE strpos(vcard_text, " +
                    Caldav::Quote(text) + ") > 0"));
}

// The bookkeeping every write keeps whole: each card has its current revision row and each
// current card revision row its card; each home its metadata and its address-book row.
void ExpectBookkeepingWhole() {
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_object o WHERE NOT EXISTS "
                               "(SELECT 1 FROM addressbook_object_revisions r WHERE "
                               "r.addressbook_home_resource_id = o.addressbook_home_resource_id "
                               "AND r.resource_name = o.resource_name AND NOT r.deleted)"))
      << "cards without their revision row";
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions r WHERE NOT "
                               "r.deleted AND r.resource_name <> '' AND NOT EXISTS (SELECT 1 FROM "
                               "addressbook_object o WHERE o.addressbook_home_resource_id = "
                               "r.addressbook_home_resource_id AND o.resource_name = "
                               "r.resource_name)"))
      << "revision rows that announce a card that is not there";
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home h WHERE NOT EXISTS (SELECT 1 "
                               "FROM addressbook_home_metadata m WHERE m.resource_id = "
                               "h.resource_id) OR NOT EXISTS (SELECT 1 FROM "
                               "addressbook_object_revisions r WHERE "
                               "r.addressbook_home_resource_id = h.resource_id AND "
                               "r.addressbook_name = 'addressbook')"))
      << "homes left half-provisioned";
}

// The test run's database server, stopped and started by the script that started it.
class Postgres {
 public:
  ~Postgres() {
    if (_stopped) Start();
  }
  void Stop() { _stopped = Run("stop"); }
  void Start() { _stopped = !Run("start"); }

 private:
  static bool Run(const char* command) {
    const char* dir = std::getenv("PGHOST");
    ProcessResult result = RunProcess({"/bin/bash", SourceDir() + "/scripts/pg.sh", command, dir});
    EXPECT_EQ(0, result.exitCode) << command << ": " << result.err;
    return result.exitCode == 0;
  }
  bool _stopped = false;
};

class AcknowledgedWrites : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    authorization = "Authorization: " + AdminAuthorization(root);
    server = std::make_unique<Lighttpd>(root.Dir());
    ASSERT_TRUE(server->Started()) << server->Log();
  }

  // One call; the parsed reply, or null when the reply is not JSON (the raw bytes go to `raw`).
  Json::Value Call(const std::string& method, const std::string& body, std::string* raw = nullptr) {
    const HttpReply reply =
        HttpRequest(server->Port(), "POST", std::string(kContacts) + "&method=" + method,
                    {authorization, "Content-Type: application/x-www-form-urlencoded"}, body);
    if (raw) *raw = reply.raw;
    Json::Value parsed;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (!reader->parse(reply.body.data(), reply.body.data() + reply.body.size(), &parsed,
                       &errors)) {
      return Json::Value();
    }
    return parsed;
  }

  static bool Succeeded(const Json::Value& reply) {
    return reply.isObject() && reply["success"] == Json::Value(true);
  }

  bool Add(const std::string& user, const std::string& marker) {
    return Succeeded(
        Call("add_card", "user=" + UrlEncode(user) + "&card=" + UrlEncode(CardRecord(marker))));
  }

  bool Import(const std::string& user, const std::vector<std::string>& markers) {
    std::string file;
    for (const std::string& marker : markers) {
      file += "BEGIN:VCARD\r\nVERSION:3.0\r\nN:" + marker + ";Import;;;\r\nFN:Import " + marker +
              "\r\nEND:VCARD\r\n";
    }
    const HttpReply reply =
        HttpRequest(server->Port(), "POST", std::string(kContacts) + "&method=import_cards",
                    {authorization, "Content-Type: multipart/form-data; boundary=soakboundary"},
                    MultipartBody("soakboundary", {{"user", user}}, {{"file", "soak.vcf", file}}));
    return reply.body == "{\"success\":true,\"data\":null}";
  }

  // The listed record of `user` whose family name is `marker`; null when the listing failed or
  // holds none.
  Json::Value Listed(const std::string& user, const std::string& marker) {
    const Json::Value reply = Call("list_cards", "user=" + UrlEncode(user));
    if (!Succeeded(reply)) return Json::Value();
    for (const Json::Value& card : reply["data"]["cards"]) {
      if (card["name"]["family_name"] == Json::Value(marker)) return card;
    }
    return Json::Value();
  }

  std::string authorization;
  std::unique_ptr<Lighttpd> server;
};

// What the server acknowledged, by marker; checked against the database at the end.
struct Acknowledged {
  std::mutex lock;
  std::set<std::string> present;               // added or imported, not deleted since
  std::map<std::string, std::string> notes;    // marker -> the note its last acknowledged edit set
  std::map<std::string, std::string> deleted;  // marker -> resource name
  std::vector<std::string> refusals;           // replies other than success, for the message
  int writes = 0;
};

TEST_F(AcknowledgedWrites, ParallelWritersWhileNewUsersArriveLoseNothing) {
  constexpr int kWriters = 3;
  // Each writer goes through add, import, edit and delete at least once however loaded the
  // machine is; the deadline only lets a fast machine do more.
  constexpr int kMinimumRounds = 4;
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  Acknowledged acked;
  std::atomic<int> arrivals{0};

  // New users arrive through the server, and straight through the helper, which holds the
  // mapping database's write lock while it records each one.
  std::thread newcomers([&] {
    for (int n = 0; Clock::now() < deadline || n < kMinimumRounds; ++n) {
      const std::string user = "newcomer" + std::to_string(n);
      const std::string marker = Marker("arrival", 0, n);
      const bool stored = Add(user, marker);
      std::lock_guard<std::mutex> hold(acked.lock);
      if (stored) {
        acked.present.insert(marker);
        ++acked.writes;
      } else {
        acked.refusals.push_back("add for " + user);
      }
      ++arrivals;
    }
  });
  std::thread helperRuns([&] {
    const std::string helper = root.Path(lumidex::kHelperPath);
    for (int n = 0; Clock::now() < deadline; ++n) {
      RunProcess({helper, "--checkGUID", "arriving" + std::to_string(n)});
      ++arrivals;
    }
  });

  std::vector<std::thread> writers;
  for (int w = 1; w <= kWriters; ++w) {
    writers.emplace_back([&, w] {
      const std::string user = "writer" + std::to_string(w);
      std::vector<std::string> mine;  // this writer's cards that are still there
      for (int i = 0; Clock::now() < deadline || i < kMinimumRounds; ++i) {
        const std::string marker = Marker("card", w, i);
        std::string what;
        bool ok = false;
        std::string deletedName;
        if (i % 4 == 0 || mine.empty()) {
          what = "add " + marker;
          ok = Add(user, marker);
          if (ok) mine.push_back(marker);
        } else if (i % 4 == 1) {
          what = "import " + marker;
          ok = Import(user, {marker + "a", marker + "b"});
          if (ok) mine.insert(mine.end(), {marker + "a", marker + "b"});
        } else if (i % 4 == 2) {
          const std::string target = mine.back();
          what = "edit " + target;
          Json::Value card = Listed(user, target);
          if (card.isObject()) {
            card["resource_name"] = card["id"];
            card["note"] = "edited " + marker;
            ok = Succeeded(Call(
                "edit_card", "user=" + UrlEncode(user) + "&card=" +
                                 UrlEncode(Json::writeString(Json::StreamWriterBuilder(), card))));
          }
          std::lock_guard<std::mutex> hold(acked.lock);
          if (ok) acked.notes[target] = "edited " + marker;
        } else {
          const std::string target = mine.front();
          what = "delete " + target;
          const Json::Value card = Listed(user, target);
          if (card.isObject()) {
            deletedName = card["id"].asString();
            ok = Succeeded(Call("delete_cards", "user=" + UrlEncode(user) + "&id=" +
                                                    UrlEncode("[\"" + deletedName + "\"]")));
          }
          if (ok) mine.erase(mine.begin());
        }
        std::lock_guard<std::mutex> hold(acked.lock);
        if (!ok) {
          acked.refusals.push_back(what);
          continue;
        }
        ++acked.writes;
        if (what.rfind("add ", 0) == 0) acked.present.insert(marker);
        if (what.rfind("import ", 0) == 0) acked.present.insert({marker + "a", marker + "b"});
        if (!deletedName.empty()) {
          const std::string target = what.substr(7);
          acked.present.erase(target);
          acked.notes.erase(target);
          acked.deleted[target] = deletedName;
        }
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  newcomers.join();
  helperRuns.join();

  // Nothing failed: a lookup that waits for the helper's lock never takes a user for unknown.
  EXPECT_TRUE(acked.refusals.empty())
      << acked.refusals.size() << " refused, first " << acked.refusals.front() << "\n"
      << server->Log();
  EXPECT_GE(acked.writes, 8) << "too few writes to show anything";
  EXPECT_GE(arrivals.load(), 4) << "too few new users to show anything";
  EXPECT_FALSE(acked.deleted.empty());
  EXPECT_FALSE(acked.notes.empty());
  for (const std::string& marker : acked.present) {
    EXPECT_EQ(1, StoredWith(marker)) << marker;
  }
  for (const auto& [marker, note] : acked.notes) EXPECT_EQ(1, StoredWith(note)) << marker;
  for (const auto& [marker, name] : acked.deleted) {
    EXPECT_EQ(0, StoredWith(marker)) << marker;
    EXPECT_EQ("t", Caldav::Value("SELECT deleted FROM addressbook_object_revisions WHERE "
                                 "resource_name = " +
                                 Caldav::Quote(name) + " ORDER BY revision DESC LIMIT 1"))
        << "the latest revision of a deleted card says it is gone";
  }
  ExpectBookkeepingWhole();
}

TEST_F(AcknowledgedWrites, DatabaseStoppedAndStartedUnderLoadLosesNothingAndHidesNothing) {
  {
    DBHandler store;
    ASSERT_TRUE(store.SetupUserBasicInfo("ann"));
    for (const char* marker : {"seedAx", "seedBx", "seedCx"}) {
      ASSERT_TRUE(
          store.AddCard(store.GetGUID("ann"), marker,
                        "BEGIN:VCARD\r\nN:" + std::string(marker) + ";;;;\r\nEND:VCARD\r\n"));
    }
  }
  Postgres postgres;
  std::atomic<bool> running{true};
  Acknowledged acked;
  int shortSuccesses = 0, listErrors = 0, lists = 0;
  std::vector<std::thread> clients;
  for (int w = 1; w <= 2; ++w) {
    clients.emplace_back([&, w] {
      for (int i = 0; running; ++i) {
        const std::string marker = Marker("outage", w, i);
        const bool stored = i % 2 ? Add("ann", marker) : Import("ann", {marker});
        const Json::Value list = Call("list_cards", "user=ann");
        std::lock_guard<std::mutex> hold(acked.lock);
        if (stored) acked.present.insert(marker);
        ++lists;
        if (!Succeeded(list)) ++listErrors;
        if (Succeeded(list) && list["data"]["cards"].size() < 3) ++shortSuccesses;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  postgres.Stop();
  // A user first seen while the database is down gets an error, not an empty address book.
  const Json::Value lateList = Call("list_cards", "user=late");
  EXPECT_FALSE(Succeeded(lateList)) << lateList;
  EXPECT_EQ(Json::Value(1012), lateList["error"]["code"]) << lateList;
  EXPECT_FALSE(Add("late", "lateDownx"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  postgres.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  postgres.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  postgres.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  running = false;
  for (std::thread& client : clients) client.join();

  EXPECT_EQ(0, shortSuccesses) << "a listing answered success without the stored cards";
  EXPECT_GT(listErrors, 0) << "no request met the outage";
  EXPECT_LT(listErrors, lists) << "no request got through";
  for (const std::string& marker : acked.present) EXPECT_EQ(1, StoredWith(marker)) << marker;
  ExpectBookkeepingWhole();

  // The user first seen during the outage works now.
  const Json::Value lateAgain = Call("list_cards", "user=late");
  ASSERT_TRUE(Succeeded(lateAgain)) << lateAgain;
  EXPECT_TRUE(lateAgain["data"]["cards"].empty());
  ASSERT_TRUE(Add("late", "lateUpx"));
  EXPECT_TRUE(Listed("late", "lateUpx").isObject());
  EXPECT_EQ(0, StoredWith("lateDownx"));
  ExpectBookkeepingWhole();
}

TEST_F(AcknowledgedWrites, DownloadOfAllCardsRacingDeletesNeverFailsOrTearsACard) {
  std::set<std::string> texts;
  DBHandler store;
  ASSERT_TRUE(store.SetupUserBasicInfo("eve"));
  const std::string guid = store.GetGUID("eve");
  for (int n = 0; n < 40; ++n) {
    const std::string text = "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Race" + std::to_string(n) +
                             ";Eve;;;\r\nNOTE:" + std::string(2000, 'a' + n % 26) +
                             "\r\nEND:VCARD\r\n";
    ASSERT_TRUE(store.AddCard(guid, "race-" + std::to_string(n), text));
    texts.insert(text + "\n");
  }
  std::vector<std::string> names;
  for (const Row& row : Caldav::Query("SELECT resource_name FROM addressbook_object")) {
    names.push_back(row[0]);
  }
  // Deletes come much faster than downloads, so that many fall inside one.
  std::atomic<bool> deleting{true};
  std::thread deleter([&] {
    for (const std::string& name : names) {
      EXPECT_TRUE(store.DelCard(guid, name));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    deleting = false;
  });
  int downloads = 0, whole = 0;
  while (deleting || downloads < 3) {
    const HttpReply reply =
        HttpRequest(server->Port(), "GET",
                    std::string(kContacts) + "&method=export_all_cards&user=eve", {authorization});
    ++downloads;
    EXPECT_EQ(200, reply.status) << reply.raw.substr(0, 200);
    EXPECT_EQ(std::to_string(reply.body.size()), reply.Header("Content-Length"));
    // Every card in the download is one of the stored texts, whole.
    const std::string end = "END:VCARD\r\n\n";
    bool torn = false;
    for (size_t at = 0, next; !torn && at < reply.body.size(); at = next) {
      next = reply.body.find(end, at);
      torn = next == std::string::npos;
      if (!torn) next += end.size();
      torn = torn || texts.count(reply.body.substr(at, next - at)) != 1;
    }
    EXPECT_FALSE(torn) << reply.body.substr(0, 300);
    whole += reply.status == 200 && !torn;
  }
  deleter.join();
  EXPECT_EQ(downloads, whole);
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_object"));
}

// A mapping database that cannot be read is an error for every operation, never an unknown
// user: nothing is answered as done, nothing is provisioned.
TEST_F(AcknowledgedWrites, MappingThatCannotBeReadIsAnErrorForEveryOperation) {
  WriteFile(root.Path(lumidex::kMappingDbPath), std::string(4096, 'x'));
  const std::string upload = root.Path("/one.vcf");
  WriteFile(upload, "BEGIN:VCARD\r\nFN:A\r\nEND:VCARD\r\n");
  Json::Value card(Json::objectValue);
  card["resource_name"] = "a.vcf";
  card["other"] = "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:a\r\n";
  Json::Value ids(Json::arrayValue);
  ids.append("a.vcf");
  const std::map<std::string, Json::Value> calls = {{"list_cards", Json::Value()},
                                                    {"add_card", card},
                                                    {"edit_card", card},
                                                    {"delete_cards", ids},
                                                    {"import_cards", Json::Value()}};
  for (const auto& [method, value] : calls) {
    Json::Value params(Json::objectValue);
    params["user"] = "ann";
    if (method == "add_card" || method == "edit_card") params["card"] = value;
    if (method == "delete_cards") params["id"] = value;
    if (method == "import_cards") {
      params["file_tmp"] = upload;
      params["file"] = "one.vcf";
    }
    ORVA::APIResponse response;
    CallContacts(method.c_str(), params, response);
    EXPECT_EQ(1, response.Calls()) << method;
    EXPECT_EQ(1014, response.ErrorCode()) << method;
    EXPECT_EQ(Json::Value("Fail to look up user"), response.Data()) << method;
  }
  Json::Value params(Json::objectValue);
  params["user"] = "ann";
  ORVA::APIResponse response;
  EXPECT_EQ(kNotFound, CallContactsCapturingStdout("export_all_cards", params, root.Path("/stdout"),
                                                   response));
  params["id"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(kNotFound,
            CallContactsCapturingStdout("export_cards", params, root.Path("/stdout"), response));

  const std::string log = ReadFile(root.Path(lumidex::kErrorLogPath));
  size_t logged = 0;
  for (size_t at = log.find(" Fail to look up user\n"); at != std::string::npos;
       at = log.find(" Fail to look up user\n", at + 1)) {
    ++logged;
  }
  EXPECT_EQ(calls.size() + 2, logged) << log;
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_object"));
}

}  // namespace
