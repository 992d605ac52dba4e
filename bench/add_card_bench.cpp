// Cost of storing one card with AddCard over 1,000 cards, against its floor measured in the same
// run: the helper starts the add needs and one database round trip per statement it runs.
#include <libpq-fe.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bench_util.h"
#include "db_handler.h"
#include "orvacore.h"
#include "orvadb.h"

namespace {

constexpr int kCards = 1000;
constexpr int kRounds = 5;  // measurements interleave so that machine noise hits them alike
constexpr int kPerRound = kCards / kRounds;
// The add's transaction: begin, locking home lookup, card insert, metadata, two revision
// statements, commit.
constexpr int kStatementsPerAdd = 7;

bool ResetDatabase() {
  std::ifstream in(std::string(LUMIDEX_SOURCE_DIR) + "/package/schema/caldav.sql");
  std::ostringstream schema;
  schema << in.rdbuf();
  PGconn* conn = PQconnectdb("user=postgres dbname=caldav");
  bool ok = PQstatus(conn) == CONNECTION_OK;
  for (const std::string& sql :
       {std::string("DROP SCHEMA public CASCADE; CREATE SCHEMA public;"), schema.str()}) {
    if (!ok) break;
    PGresult* res = PQexec(conn, sql.c_str());
    ok = PQresultStatus(res) == PGRES_COMMAND_OK;
    if (!ok) std::fprintf(stderr, "schema: %s", PQerrorMessage(conn));
    PQclear(res);
  }
  PQfinish(conn);
  return ok;
}

std::string UidOf(int n) {
  char uid[64];
  std::snprintf(uid, sizeof uid, "bench-%06d", n);
  return uid;
}

// An ordinary card of about 450 bytes: CR LF lines, non-ASCII letters, a quote to escape.
std::string MakeCard(int n) {
  return "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:" + UidOf(n) + "\r\nN:Lastname" + std::to_string(n) +
         ";Firstname;;;\r\nFN:Firstname Lastname" + std::to_string(n) +
         "\r\nORG:Example Company;Sales\r\nTEL;TYPE=CELL:+49 170 1234567\r\n"
         "TEL;TYPE=WORK:+49 89 7654321\r\nEMAIL;TYPE=INTERNET:first.last@example.org\r\n"
         "ADR;TYPE=HOME:;;Hauptstra\xC3\x9F"
         "e 1;M\xC3\xBCnchen;;80331;Germany\r\n"
         "NOTE:Met at the fair\\, call back about the 'offer'\r\nEND:VCARD\r\n";
}

// One start of `program` the way the store starts the helper: argument list, pipe, first line.
void StartAndReadLine(const std::string& program, const char* a1, const char* a2) {
  FILE* stream = OLIBCPopen(program.c_str(), "r", a1, a2, static_cast<char*>(nullptr));
  if (!stream) return;
  char line[64];
  if (!fgets(line, sizeof line, stream)) line[0] = '\0';
  OLIBCPclose(stream);
}

std::string Value(PGconn* conn, const std::string& sql) {
  PGresult* res = PQexec(conn, sql.c_str());
  std::string value = PQntuples(res) > 0 ? PQgetvalue(res, 0, 0) : "";
  PQclear(res);
  return value;
}

int Execute(DBConnect* conn, const std::string& sql) {
  DBResult* result = nullptr;
  const int rc = ORVADBExecute(conn, sql.c_str(), &result);
  if (result) ORVADBFreeResult(result);
  return rc;
}

// The seven statements AddCard runs, with values ready-made: the part of an add that is the
// database's own work, round trips included. `seconds`, when given, adds up each statement's time.
void RunAddStatements(DBConnect* conn, const std::string& guid, const std::string& home, int n,
                      std::string text, double* seconds = nullptr) {
  const std::string name = "direct-" + std::to_string(n) + ".vcf";
  for (std::size_t at = text.find('\''); at != std::string::npos; at = text.find('\'', at + 2)) {
    text.insert(at, 1, '\'');
  }
  const std::string statements[kStatementsPerAdd] = {
      "BEGIN",
      "SELECT resource_id FROM addressbook_home WHERE owner_uid='" + guid + "' FOR UPDATE",
      "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, vcard_text, "
      "vcard_uid, kind, md5, created, modified) VALUES ('" +
          home + "', '" + name + "', '" + text + "', '" + UidOf(n) +
          "','0', '0123456789abcdef0123456789abcdef', '2024-01-01 00:00:00', "
          "'2024-01-01 00:00:00')",
      "UPDATE addressbook_home_metadata SET modified='2024-01-01 00:00:00' WHERE resource_id='" +
          home + "'",
      "DELETE FROM addressbook_object_revisions WHERE addressbook_home_resource_id='" + home +
          "' and resource_name='" + name + "' and deleted='f'",
      "INSERT INTO addressbook_object_revisions (addressbook_home_resource_id, "
      "owner_home_resource_id, resource_name, deleted) values ('" +
          home + "', '" + home + "', '" + name + "', 'f')",
      "COMMIT"};
  for (int i = 0; i < kStatementsPerAdd; ++i) {
    const double start = bench::NowSeconds();
    Execute(conn, statements[i]);
    if (seconds) seconds[i] += bench::NowSeconds() - start;
  }
}

}  // namespace

int main() {
  const std::string build = LUMIDEX_BUILD_DIR;
  const std::string helper = build + "/package/orva_db_helper";
  const std::string trivial = build + "/bench/trivial_program";
  char pattern[] = "/tmp/lumidex-bench-root-XXXXXX";
  const std::string root = mkdtemp(pattern);
  for (const char* sub :
       {"/var/packages/Lumidex/target/var/db", "/var/packages/Lumidex/target/tools"})
    std::filesystem::create_directories(root + sub);
  std::filesystem::create_symlink(helper,
                                  root + "/var/packages/Lumidex/target/tools/orva_db_helper.py");
  setenv("LUMIDEX_ROOT", root.c_str(), 1);
  if (!ResetDatabase()) return 1;

  DBHandler handler;
  handler.SetupUserBasicInfo("bench-user");
  const std::string guid = handler.GetGUID("bench-user");
  DBConnect* conn = ORVADBConnect(nullptr, "postgres", "", "caldav");
  if (guid.empty() || !conn) {
    std::fprintf(stderr, "no user or no database connection\n");
    return 1;
  }
  PGconn* check = PQconnectdb("user=postgres dbname=caldav");
  const std::string home =
      Value(check, "SELECT resource_id FROM addressbook_home WHERE owner_uid='" + guid + "'");

  std::vector<std::string> cards;
  for (int n = 0; n < 3 * kCards; ++n) cards.push_back(MakeCard(n));

  // Per round: AddCard itself; what it must do, composed by hand (both helper starts and its seven
  // statements with their values); and the pieces of the floor.
  double add = 0, composed = 0, statements = 0, md5Start = 0, uuidStart = 0, trivialStart = 0,
         roundTrip = 0, logLine = 0;
  double perStatement[kStatementsPerAdd] = {};
  int failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    const int first = round * kPerRound;
    double t = bench::NowSeconds();
    for (int n = first; n < first + kPerRound; ++n) {
      failed += !handler.AddCard(guid, UidOf(n), cards[n]);
    }
    add += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = 2 * kCards + first; n < 2 * kCards + first + kPerRound; ++n) {
      StartAndReadLine(helper, "--getMD5", cards[n].c_str());
      StartAndReadLine(helper, "--getUUID", nullptr);
      RunAddStatements(conn, guid, home, n, cards[n]);
    }
    composed += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = kCards + first; n < kCards + first + kPerRound; ++n) {
      RunAddStatements(conn, guid, home, n, cards[n], perStatement);
    }
    statements += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = first; n < first + kPerRound; ++n) {
      StartAndReadLine(helper, "--getMD5", cards[n].c_str());
    }
    md5Start += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = 0; n < kPerRound; ++n) StartAndReadLine(helper, "--getUUID", nullptr);
    uuidStart += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = 0; n < kPerRound; ++n) StartAndReadLine(trivial, nullptr, nullptr);
    trivialStart += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = 0; n < kPerRound * kStatementsPerAdd; ++n) Execute(conn, "SELECT 1");
    roundTrip += bench::NowSeconds() - t;

    t = bench::NowSeconds();
    for (int n = 0; n < kPerRound; ++n) {
      syslog(LOG_ERR, "%s:%d Add new Card completely.", "bench", n);
    }
    logLine += bench::NowSeconds() - t;
  }

  const double us = 1e6 / kCards;
  add *= us;
  composed *= us;
  statements *= us;
  md5Start *= us;
  uuidStart *= us;
  trivialStart *= us;
  roundTrip *= us / kStatementsPerAdd;
  logLine *= us;
  const double helperStart = (md5Start + uuidStart) / 2;
  const double floorTwo = md5Start + uuidStart + kStatementsPerAdd * roundTrip;
  const double floorThree = floorTwo + helperStart;
  const std::string stored = Value(check,
                                   "SELECT count(*) FROM addressbook_object WHERE addressbook_home_"
                                   "resource_id=" +
                                       home + " AND resource_name NOT LIKE 'direct-%'");

  std::printf("cards stored by AddCard                %s of %d\n", stored.c_str(), kCards);
  std::printf("revision rows in the home at the end   %s\n",
              Value(check, "SELECT count(*) FROM addressbook_object_revisions").c_str());
  std::printf("AddCard per card                       %8.1f us\n", add);
  std::printf("  same work composed by hand           %8.1f us\n", composed);
  std::printf("  its %d statements alone               %8.1f us\n", kStatementsPerAdd, statements);
  const char* labels[kStatementsPerAdd] = {
      "begin",           "home lookup, locked", "card insert", "metadata update",
      "revision delete", "revision insert",     "commit"};
  for (int i = 0; i < kStatementsPerAdd; ++i) {
    std::printf("    %-34s %8.1f us\n", labels[i], perStatement[i] * us);
  }
  std::printf("  helper start --getMD5                %8.1f us\n", md5Start);
  std::printf("  helper start --getUUID               %8.1f us\n", uuidStart);
  std::printf("  database round trip (SELECT 1)       %8.1f us\n", roundTrip);
  std::printf("  one system-log line                  %8.1f us\n", logLine);
  std::printf("  trivial C program start              %8.1f us\n", trivialStart);
  std::printf("floor, 2 helper starts + %d round trips %8.1f us   AddCard / floor = %.2f\n",
              kStatementsPerAdd, floorTwo, add / floorTwo);
  std::printf("floor, 3 helper starts + %d round trips %8.1f us   AddCard / floor = %.2f\n",
              kStatementsPerAdd, floorThree, add / floorThree);
  std::printf("helper start / trivial start           %.2f (--getMD5 %.2f, --getUUID %.2f)\n",
              helperStart / trivialStart, md5Start / trivialStart, uuidStart / trivialStart);

  PQfinish(check);
  ORVADBClose(conn);
  std::filesystem::remove_all(root);
  return failed == 0 && stored == std::to_string(kCards) ? 0 : 1;
}
