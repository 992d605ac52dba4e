// The store handle against the real daemon tables: connection, lookups, the mapping database,
// the helper program and provisioning of a new user.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "db_handler.h"
#include "lumidex_paths.h"
#include "test_env.h"

using namespace testenv;

namespace {

class StoreHandle : public StoreTest {
 protected:
  std::string MappingDb() const { return root.Path(lumidex::kMappingDbPath); }

  // Adds a mapping row directly, as the helper would.
  void MapUser(const std::string& shortName, const char* guid) {
    DBHandler prepare;  // creates the mapping table on first use
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(MappingDb().c_str(), &db));
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(SQLITE_OK,
              sqlite3_prepare_v2(db, "INSERT INTO mapping VALUES(?1, ?2)", -1, &st, nullptr));
    sqlite3_bind_text(st, 1, shortName.c_str(), -1, SQLITE_TRANSIENT);
    if (guid) sqlite3_bind_text(st, 2, guid, -1, SQLITE_TRANSIENT);
    ASSERT_EQ(SQLITE_DONE, sqlite3_step(st));
    sqlite3_finalize(st);
    sqlite3_close(db);
  }
};

TEST_F(StoreHandle, FirstStartCreatesTheMappingDatabaseOnce) {
  ASSERT_FALSE(FileExists(MappingDb()));
  { DBHandler first; }
  EXPECT_TRUE(FileExists(MappingDb()));
  EXPECT_EQ(1, Syslog::Count("DB ready for Account"));
  Syslog::Clear();
  { DBHandler second; }
  EXPECT_EQ(0, Syslog::Count("DB ready for Account"));
  EXPECT_EQ(0, Syslog::Count("Create table failed"));
}

TEST_F(StoreHandle, MissingMappingFolderIsReportedButTheHandleStillWorks) {
  std::filesystem::remove_all(root.Path("/var/packages/Lumidex/target/var/db"));
  DBHandler handler;
  EXPECT_EQ(1, Syslog::Count("Open sqlite DB failed!!"));
  EXPECT_EQ(1, Syslog::Count("DB is not exist!!"));
  Json::Value names, texts, ids;
  EXPECT_EQ(0u, handler.GetCards(names, texts, "nobody", ids));
}

TEST_F(StoreHandle, ProvisioningWritesExactlyTheThreeRowsOnce) {
  DBHandler handler;
  ASSERT_TRUE(handler.SetupUserBasicInfo("alice"));
  const std::string guid = handler.GetGUID("alice");
  ASSERT_EQ(36u, guid.size());
  const std::string home = Caldav::HomeOf(guid);
  ASSERT_FALSE(home.empty());
  EXPECT_EQ("2", Caldav::Value("SELECT dataversion FROM addressbook_home"));
  Rows meta = Caldav::Query(
      "SELECT resource_id, quota_used_bytes, created = modified FROM addressbook_home_metadata");
  ASSERT_EQ(1u, meta.size());
  EXPECT_EQ((Row{home, "0", "t"}), meta[0]);
  Rows revisions = Caldav::Query(
      "SELECT addressbook_home_resource_id, owner_home_resource_id, addressbook_name, "
      "resource_name, deleted FROM addressbook_object_revisions");
  ASSERT_EQ(1u, revisions.size());
  EXPECT_EQ((Row{home, home, "addressbook", "", "f"}), revisions[0]);
  EXPECT_EQ(1, Syslog::Count("Add new user[alice] info to DB done."));

  Syslog::Clear();
  EXPECT_FALSE(handler.SetupUserBasicInfo("alice"));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home"));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home_metadata"));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions"));
  EXPECT_TRUE(Syslog::Messages().empty());
}

TEST_F(StoreHandle, HostileShortNamesAreMatchedLiterally) {
  DBHandler handler;
  const std::vector<std::string> names = {"o'brien", "back\\slash", "' OR '1'='1",
                                          "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0", "x\"; --"};
  std::vector<std::string> guids;
  for (const auto& name : names) {
    ASSERT_TRUE(handler.SetupUserBasicInfo(name)) << name;
    guids.push_back(handler.GetGUID(name));
    EXPECT_EQ(36u, guids.back().size()) << name;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    for (size_t j = i + 1; j < names.size(); ++j) EXPECT_NE(guids[i], guids[j]);
  }
  EXPECT_EQ("", handler.GetGUID("o"));
  EXPECT_EQ("", handler.GetGUID("' OR '1'='2"));
  EXPECT_EQ(std::to_string(names.size()), Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(StoreHandle, ImplausibleNamesGetNoGuid) {
  DBHandler handler;
  for (const std::string& name : {std::string(""), std::string("line\r\nbreak"),
                                  std::string(300, 'a'), std::string("bad\xFFutf8")}) {
    Syslog::Clear();
    EXPECT_EQ("", handler.SetGUID(name));
    EXPECT_FALSE(handler.SetupUserBasicInfo(name));
  }
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(StoreHandle, GuidLookupTakesTheLastRowAndSurvivesANullGuid) {
  MapUser("bob", "11111111-1111-1111-1111-111111111111");
  MapUser("bob", "22222222-2222-2222-2222-222222222222");
  MapUser("ghost", nullptr);
  DBHandler handler;
  EXPECT_EQ("22222222-2222-2222-2222-222222222222", handler.GetGUID("bob"));
  EXPECT_EQ("", handler.GetGUID("ghost"));
  Syslog::Clear();
  EXPECT_EQ("", handler.GetGUID("unknown"));
  EXPECT_TRUE(Syslog::Messages().empty());
}

TEST_F(StoreHandle, LookupWaitsForTheWriteLockOfTheHelperAndTellsAFailureFromAnUnknownName) {
  MapUser("bob", "11111111-1111-1111-1111-111111111111");
  // Another process holds the write lock for a moment, as the helper does while it records a
  // new user.
  sqlite3* writer = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(MappingDb().c_str(), &writer));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr));
  std::thread release([writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
  });
  DBHandler handler;
  std::string guid;
  EXPECT_TRUE(handler.LookupGUID("bob", guid));
  EXPECT_EQ("11111111-1111-1111-1111-111111111111", guid);
  release.join();
  sqlite3_close(writer);
  EXPECT_TRUE(handler.LookupGUID("nobody", guid));
  EXPECT_EQ("", guid);

  WriteFile(MappingDb(), std::string(4096, 'x'));  // not a database
  Syslog::Clear();
  guid = "stale";
  EXPECT_FALSE(handler.LookupGUID("bob", guid));
  EXPECT_EQ("", guid);
  EXPECT_EQ(1, Syslog::Count("Get Data failed["));

  // A database whose table was never made maps nobody, which is an answer.
  WriteFile(MappingDb(), "");
  guid = "stale";
  EXPECT_TRUE(handler.LookupGUID("bob", guid));
  EXPECT_EQ("", guid);
}

TEST_F(StoreHandle, ProvisioningThatFailsHalfwayLeavesNoHomeAndIsDoneAgainLater) {
  DBHandler handler;
  Caldav::Exec("ALTER TABLE addressbook_home_metadata RENAME TO moved_away");
  EXPECT_FALSE(handler.SetupUserBasicInfo("ivy"));
  EXPECT_EQ(1, Syslog::Count("Create user resource failed!!"));
  Caldav::Exec("ALTER TABLE moved_away RENAME TO addressbook_home_metadata");
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
  const std::string guid = handler.GetGUID("ivy");
  ASSERT_EQ(36u, guid.size()) << "the helper recorded the mapping all the same";
  EXPECT_TRUE(handler.HomeIsMissing(guid));

  EXPECT_TRUE(handler.SetupUserBasicInfo("ivy"));
  EXPECT_FALSE(handler.HomeIsMissing(guid));
  EXPECT_EQ(guid, handler.GetGUID("ivy"));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home_metadata"));
}

TEST_F(StoreHandle, HelperAnswersAreReadToTheirWidth) {
  DBHandler handler;
  const std::string uuid = handler.GetUUID();
  EXPECT_EQ(36u, uuid.size());
  EXPECT_NE(uuid, handler.GetUUID());

  root.InstallHelper(WriteScript(root.Path("/short.sh"), "printf 'abc\\nmore\\n'\n"));
  EXPECT_EQ("abc\n", handler.GetUUID());
  root.InstallHelper(WriteScript(
      root.Path("/long.sh"), "printf '0123456789abcdef0123456789abcdef0123456789\\nnext\\n'\n"));
  EXPECT_EQ("0123456789abcdef0123456789abcdef0123", handler.GetUUID());
}

TEST_F(StoreHandle, MissingOrSilentHelperGivesEmptyAnswersAndOneMessage) {
  DBHandler handler;
  root.RemoveHelper();
  Syslog::Clear();
  EXPECT_EQ("", handler.GetUUID());
  EXPECT_EQ(1, Syslog::Count("Failed to popen("));
  EXPECT_EQ("", handler.SetGUID("carol"));
  EXPECT_EQ(1, Syslog::Count("--checkGUID carol), reason="));
  EXPECT_FALSE(handler.SetupUserBasicInfo("carol"));

  root.InstallHelper(WriteScript(root.Path("/silent.sh"), "exit 0\n"));
  Syslog::Clear();
  EXPECT_EQ("", handler.GetUUID());
  EXPECT_EQ(1, Syslog::Count("Failed to fgets from popen("));
  EXPECT_EQ(0, Syslog::Count("Failed to popen("));
}

TEST_F(StoreHandle, HelperArgumentsReachItUnchanged) {
  // The helper records its arguments; quotes, blanks and line breaks must arrive as one argument.
  const std::string record = root.Path("/args");
  root.InstallHelper(WriteScript(
      root.Path("/record.sh"),
      "printf '%s' \"$2\" > '" + record + "'\necho 00000000-0000-0000-0000-000000000000\n"));
  DBHandler handler;
  const std::string name = "it's a \"name\"\r\n; rm -rf / $(x) `y`";
  EXPECT_EQ("00000000-0000-0000-0000-000000000000", handler.SetGUID(name));
  EXPECT_EQ(name, ReadFile(record));
}

TEST_F(StoreHandle, UserWithoutHomeHasNoCardsAndNoExport) {
  DBHandler handler;
  Json::Value names(Json::arrayValue), texts(Json::arrayValue), ids(Json::arrayValue);
  names.append("kept");
  Syslog::Clear();
  EXPECT_EQ(0u, handler.GetCards(names, texts, "no-such-guid", ids));
  EXPECT_EQ(1u, names.size());
  EXPECT_EQ(0u, texts.size());
  EXPECT_EQ(1, Syslog::Count("Can't find resource ID!!"));
  EXPECT_EQ("error", handler.ExportData("no-such-guid", "1"));
}

TEST_F(StoreHandle, CardsAreReadInParallelArraysAndAppended) {
  DBHandler handler;
  ASSERT_TRUE(handler.SetupUserBasicInfo("dora"));
  const std::string guid = handler.GetGUID("dora");
  const std::string home = Caldav::HomeOf(guid);
  Json::Value names, texts, ids;
  Syslog::Clear();
  EXPECT_EQ(0u, handler.GetCards(names, texts, guid, ids));
  EXPECT_TRUE(Syslog::Messages().empty());

  const std::string text = "BEGIN:VCARD\r\nFN:It's \\ me\r\nEND:VCARD\r\n";
  Caldav::InsertCard(home, "a.vcf", text, "u1");
  Caldav::InsertCard(home, "b.vcf", "", "u2");
  EXPECT_EQ(2u, handler.GetCards(names, texts, guid, ids));
  EXPECT_EQ(2u, handler.GetCards(names, texts, guid, ids));
  ASSERT_EQ(4u, names.size());
  ASSERT_EQ(4u, texts.size());
  ASSERT_EQ(4u, ids.size());
  for (Json::ArrayIndex i = 0; i < 4; ++i) {
    const std::string id = ids[i].asString();
    EXPECT_EQ(Caldav::Value("SELECT resource_name FROM addressbook_object WHERE resource_id=" + id),
              names[i].asString());
    EXPECT_EQ(Caldav::Value("SELECT vcard_text FROM addressbook_object WHERE resource_id=" + id),
              texts[i].asString());
  }
  const std::string first =
      Caldav::Value("SELECT resource_id FROM addressbook_object WHERE resource_name='a.vcf'");
  const std::string empty =
      Caldav::Value("SELECT resource_id FROM addressbook_object WHERE resource_name='b.vcf'");
  EXPECT_EQ(text + "\n", handler.ExportData(guid, first));
  EXPECT_EQ("\n", handler.ExportData(guid, empty));
  EXPECT_EQ("error", handler.ExportData(guid, "999999"));
  EXPECT_EQ("error", handler.ExportData(guid, "abc"));
  EXPECT_EQ("error", handler.ExportData(guid, "1' OR '1'='1"));
}

TEST_F(StoreHandle, AnotherUsersCardIsNotExported) {
  DBHandler handler;
  ASSERT_TRUE(handler.SetupUserBasicInfo("erin"));
  ASSERT_TRUE(handler.SetupUserBasicInfo("fred"));
  const std::string erinHome = Caldav::HomeOf(handler.GetGUID("erin"));
  const std::string id = Caldav::InsertCard(erinHome, "e.vcf", "x", "u");
  EXPECT_EQ("x\n", handler.ExportData(handler.GetGUID("erin"), id));
  EXPECT_EQ("error", handler.ExportData(handler.GetGUID("fred"), id));
}

TEST_F(StoreHandle, DatabaseDownLeavesAUsableHandleWhoseOperationsFail) {
  const char* saved = getenv("PGHOST");
  std::string host = saved ? saved : "";
  setenv("PGHOST", "/nonexistent-socket-dir", 1);
  {
    DBHandler handler;
    EXPECT_EQ(1, Syslog::Count("Can't Connect to SQL DB!!"));
    Json::Value names, texts, ids;
    EXPECT_EQ(0u, handler.GetCards(names, texts, "guid", ids));
    EXPECT_EQ("error", handler.ExportData("guid", "1"));
    EXPECT_FALSE(handler.SetupUserBasicInfo("gina"));
    EXPECT_EQ(1, Syslog::Count("Begin transaction failed"));
    unsigned int count = 7;
    EXPECT_FALSE(handler.GetCards(names, texts, "guid", ids, ids, count)) << "not 'no cards'";
    EXPECT_EQ(0u, count);
  }
  setenv("PGHOST", host.c_str(), 1);
}

TEST_F(StoreHandle, NowIsUtcInTheDaemonsForm) {
  // Read back through provisioning: the metadata times are what GetNowTimeInfo gave.
  setenv("TZ", "Pacific/Kiritimati", 1);  // UTC+14: a local date would differ most of the day
  tzset();
  DBHandler handler;
  ASSERT_TRUE(handler.SetupUserBasicInfo("hank"));
  const std::string created = Caldav::Value("SELECT created FROM addressbook_home_metadata");
  const std::string nowUtc =
      Caldav::Value("SELECT to_char(timezone('UTC', now()), 'YYYY-MM-DD HH24:MI:SS')");
  ASSERT_EQ(19u, created.size());
  EXPECT_EQ(nowUtc.substr(0, 13), created.substr(0, 13));
  unsetenv("TZ");
  tzset();
}

}  // namespace
