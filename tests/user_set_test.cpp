// The user rename tool as a real process against the daemon's tables: what it moves, what it
// keeps when a copy cannot be stored, its options and exit statuses; and, linked in, its UID
// extraction and its failure line in the system log.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>

#include "db_handler.h"
#include "lumidex_paths.h"
#include "test_env.h"

// The tool's own functions, to call them in this process where the system log is recorded.
#define main RunUserSet
#include "../tools/lumidex_user_set.cpp"
#undef main

extern char** environ;

using namespace testenv;

namespace {

const char kUsage[] =
    "/var/packages/Lumidex/target/tool/lumidex_user_set -o [OrgName] -n [NewName]\n"
    "example: lumidex_user_set -o beforechange -n afterchange \n";

struct ToolRun {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs the built tool with `args`; the environment carries LUMIDEX_ROOT and PGHOST.
ToolRun RunTool(const std::vector<std::string>& args) {
  ToolRun run;
  const std::string tool = BuildDir() + "/tools/lumidex_user_set";
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    ADD_FAILURE() << "cannot start " << tool << ": " << strerror(rc);
    return run;
  }
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, got);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// (vcard_text, vcard_uid) pairs, sorted, so that two address books compare as sets of cards.
using CardSet = std::vector<std::pair<std::string, std::string>>;

class UserSet : public StoreTest {
 protected:
  std::string Provision(const std::string& shortName) {
    EXPECT_TRUE(handler.SetupUserBasicInfo(shortName)) << shortName;
    return handler.GetGUID(shortName);
  }

  // Provisions `shortName` and stores each text with the UID the tool will read from it.
  std::string UserWithCards(const std::string& shortName, const std::vector<std::string>& texts) {
    const std::string guid = Provision(shortName);
    for (const auto& text : texts) EXPECT_TRUE(handler.AddCard(guid, GetVcardUID(text), text));
    return guid;
  }

  static std::string HomeOf(const std::string& shortName) {
    DBHandler lookup;
    const std::string guid = lookup.GetGUID(shortName);
    if (guid.empty()) return "";
    return Caldav::HomeOf(guid);
  }

  static CardSet CardsOf(const std::string& shortName) {
    const std::string home = HomeOf(shortName);
    CardSet cards;
    if (home.empty()) return cards;
    for (const auto& row :
         Caldav::Query("SELECT vcard_text, vcard_uid FROM addressbook_object WHERE "
                       "addressbook_home_resource_id=" +
                       home)) {
      cards.emplace_back(row[0], row[1]);
    }
    std::sort(cards.begin(), cards.end());
    return cards;
  }

  static CardSet Expected(const std::vector<std::string>& texts) {
    CardSet cards;
    for (const auto& text : texts) cards.emplace_back(text, GetVcardUID(text));
    std::sort(cards.begin(), cards.end());
    return cards;
  }

  // Everything in the four tables, to show that a run changed nothing.
  static Rows Snapshot() {
    Rows all;
    for (const char* sql :
         {"SELECT resource_id, owner_uid FROM addressbook_home ORDER BY 1",
          "SELECT resource_id, modified FROM addressbook_home_metadata ORDER BY 1",
          "SELECT resource_id, resource_name, md5 FROM addressbook_object ORDER BY 1",
          "SELECT revision, resource_name, deleted FROM addressbook_object_revisions ORDER BY 1"}) {
      Rows rows = Caldav::Query(sql);
      all.insert(all.end(), rows.begin(), rows.end());
      all.push_back({"--"});
    }
    return all;
  }

  static std::string Card(const std::string& uid, const std::string& name) {
    return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:" + name + "\r\nN:" + name +
           ";;;;\r\nEND:VCARD\r\n";
  }

  static std::string PhotoCard(const std::string& uid, std::size_t bytes) {
    std::string text =
        "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + uid + "\r\nFN:Photo\r\nPHOTO;ENCODING=b;TYPE=JPEG:";
    for (std::size_t i = 0; text.size() < bytes; ++i) {
      text += "\r\n ";
      for (int k = 0; k < 74; ++k) text += static_cast<char>('A' + (i * 3 + k) % 26);
    }
    return text + "\r\nEND:VCARD\r\n";
  }

  DBHandler handler;
};

TEST_F(UserSet, MoveKeepsEveryTextByteForByte) {
  const std::vector<std::string> texts = {
      Card("plain-1", "Plain"),
      "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:o'brien-\\-\xC3\xA9\r\nFN:O'Brien \"\\\\\" "
      "\xE5\xB1\xB1\xE7\x94\xB0\r\nNOTE:it''s \\n $$\r\nEND:VCARD\r\n",
      "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:No UID at all\r\nEND:VCARD\r\n",
      PhotoCard("photo-1", 200 * 1024),
  };
  UserWithCards("before", texts);
  const std::string beforeHome = HomeOf("before");
  const Rows oldNames = Caldav::Query("SELECT resource_name FROM addressbook_object");

  const ToolRun run = RunTool({"-o", "before", "-n", "after"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.output);

  EXPECT_TRUE(CardsOf("before").empty());
  EXPECT_EQ(Expected(texts), CardsOf("after"));
  const std::string afterHome = HomeOf("after");
  ASSERT_FALSE(afterHome.empty());
  // The new user was provisioned as any new user is.
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home_metadata WHERE "
                               "resource_id=" +
                               afterHome));
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions WHERE "
                               "addressbook_home_resource_id=" +
                               afterHome + " AND addressbook_name='addressbook'"));
  // Each old card is recorded as deleted from the old home, each copy as present in the new.
  for (const auto& old : oldNames) {
    EXPECT_EQ("true",
              Caldav::Value("SELECT string_agg(deleted::text, ',') FROM "
                            "addressbook_object_revisions WHERE addressbook_home_resource_id=" +
                            beforeHome + " AND resource_name=" + Caldav::Quote(old[0])));
  }
  // The copies are new cards with names of their own, each with its one current revision row.
  const Rows newNames = Caldav::Query(
      "SELECT resource_name FROM addressbook_object WHERE addressbook_home_resource_id=" +
      afterHome + " ORDER BY 1");
  EXPECT_EQ(newNames, Caldav::Query("SELECT resource_name FROM addressbook_object_revisions "
                                    "WHERE addressbook_home_resource_id=" +
                                    afterHome + " AND resource_name <> '' ORDER BY 1"));
  EXPECT_EQ(std::to_string(texts.size()),
            Caldav::Value("SELECT count(*) FROM addressbook_object_revisions WHERE "
                          "addressbook_home_resource_id=" +
                          afterHome + " AND NOT deleted AND resource_name <> ''"));
  for (const auto& name : newNames) {
    EXPECT_EQ(oldNames.end(), std::find(oldNames.begin(), oldNames.end(), name));
  }
}

TEST_F(UserSet, MoveIntoAUserHoldingOneOfTheUidsLosesNothing) {
  const std::vector<std::string> texts = {Card("uid-1", "One"), Card("uid-2", "Two"),
                                          Card("uid-3", "Three")};
  UserWithCards("before", texts);
  const std::string theirs = Card("uid-2", "Already there");
  UserWithCards("after", {theirs});

  const ToolRun run = RunTool({"-o", "before", "-n", "after"});
  EXPECT_EQ(255, run.status);
  EXPECT_EQ("", run.output);
  EXPECT_EQ(Expected({texts[1]}), CardsOf("before"));
  EXPECT_EQ(Expected({texts[0], texts[2], theirs}), CardsOf("after"));
}

TEST_F(UserSet, LaterOptionsReplaceEarlierOnes) {
  const std::vector<std::string> aCards = {Card("a-1", "A")};
  const std::vector<std::string> bCards = {Card("b-1", "B one"), Card("b-2", "B two")};
  UserWithCards("a", aCards);
  UserWithCards("b", bCards);

  const ToolRun run = RunTool({"-o", "a", "-o", "b", "-n", "a", "-n", "c"});
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.output);
  EXPECT_EQ(Expected(aCards), CardsOf("a"));
  EXPECT_TRUE(CardsOf("b").empty());
  EXPECT_EQ(Expected(bCards), CardsOf("c"));
}

TEST_F(UserSet, WrongOptionsPrintTheUsageAndMoveNothing) {
  UserWithCards("before", {Card("uid-1", "One")});
  const Rows before = Snapshot();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"-x"}, {"-o"}, {"-o", "before", "-n", "after", "-u", "after"}, {"--help"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(255, run.status) << args[0];
    EXPECT_EQ(kUsage, run.output) << args[0];
  }
  EXPECT_EQ(before, Snapshot());
  EXPECT_EQ("", HomeOf("after"));
}

TEST_F(UserSet, RunsWithNothingToMoveSucceedQuietly) {
  UserWithCards("before", {Card("uid-1", "One")});
  const Rows before = Snapshot();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"-o", "nobody", "-n", "after"}, {"-o", "before", "-n", "before"}, {"stray"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(0, run.status) << args.size();
    EXPECT_EQ("", run.output);
  }
  EXPECT_EQ(before, Snapshot());
}

// Linked in: the same functions as the program runs them.
class UserSetInProcess : public UserSet {
 protected:
  int Run(std::vector<std::string> args) {
    args.insert(args.begin(), "lumidex_user_set");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    optind = 0;  // getopt starts afresh
    return RunUserSet(static_cast<int>(args.size()), argv.data());
  }
};

TEST_F(UserSetInProcess, AFailedMoveEndsWithOneLogLine) {
  UserWithCards("before", {Card("uid-1", "One"), Card("uid-2", "Two")});
  UserWithCards("after", {Card("uid-1", "Theirs")});
  Syslog::Clear();
  EXPECT_EQ(-1, Run({"-o", "before", "-n", "after"}));
  const std::regex line(
      "lumidex_user_set:[0-9]+ Set User Fail, stOrgName = before, stNewName = after");
  int lines = 0;
  for (const auto& message : Syslog::Messages()) lines += std::regex_match(message, line);
  EXPECT_EQ(1, lines);
  EXPECT_EQ(1u, CardsOf("before").size());

  // A new user who cannot be provisioned receives nothing; every card stays.
  Syslog::Clear();
  EXPECT_EQ(-1, Run({"-o", "before", "-n", "bad\nname"}));
  EXPECT_EQ(1, Syslog::Count("Set User Fail, stOrgName = before, stNewName = bad\nname"));
  EXPECT_EQ(1u, CardsOf("before").size());
  Provision("empty");
  EXPECT_EQ(-1, Run({"-o", "empty", "-n", "bad\nname"})) << "even with no card to move";

  Syslog::Clear();
  EXPECT_EQ(0, Run({"-o", "nobody", "-n", "after"}));
  EXPECT_EQ(0, Syslog::Count("Set User Fail"));

  // A mapping that cannot be read is a failure, not a user with nothing to move.
  WriteFile(root.Path(lumidex::kMappingDbPath), std::string(4096, 'x'));
  Syslog::Clear();
  EXPECT_EQ(-1, Run({"-o", "before", "-n", "after"}));
  EXPECT_EQ(1, Syslog::Count("Set User Fail, stOrgName = before, stNewName = after"));
  EXPECT_EQ(-1, Run({"-o", "nobody", "-n", "after"}));
}

TEST(VcardUid, IsTheTextAfterTheFirstUidTagUpToACarriageReturn) {
  EXPECT_EQ("abc", GetVcardUID("BEGIN:VCARD\r\nUID:abc\r\nEND:VCARD\r\n"));
  EXPECT_EQ(" spaced ", GetVcardUID("UID: spaced \r\n"));
  EXPECT_EQ("", GetVcardUID("UID:\r\n"));
  EXPECT_EQ("", GetVcardUID("BEGIN:VCARD\r\nFN:x\r\nEND:VCARD\r\n"));
  EXPECT_EQ("", GetVcardUID("UID:no carriage return\n"));
  // The tag also matches at the end of a longer name, and only the first one counts.
  EXPECT_EQ("apple", GetVcardUID("X-ABUID:apple\r\nUID:real\r\n"));
  // Bare line feeds: everything up to a later carriage return comes with it.
  EXPECT_EQ("lf\nFN:x\nNOTE:y", GetVcardUID("UID:lf\nFN:x\nNOTE:y\r\n"));
  EXPECT_EQ("", GetVcardUID("uid:lower\r\n"));
}

}  // namespace
