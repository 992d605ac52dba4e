// Cost of "list_cards" through the CGI front for users with 0, 1,000 and 10,000 cards, with and
// without a search text, against two floors (a trivial program start plus one connection from a
// program that has the client library loaded; a program that loads it and connects); peak
// memory of the front; and the stages of one listing timed in-process.
#include <fcntl.h>
#include <json/reader.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "bench_signin.h"
#include "bench_util.h"
#include "card_model.h"
#include "db_handler.h"
#include "orvadb.h"
#include "reply_stream.h"
#include "webapi.h"

extern "C" void contact_list_cards(ORVA::APIRequest* request, ORVA::APIResponse* response);

namespace {

const char kSearch[] = "given12";  // matches 111 of 10,000 cards (Given12, Given120..., ...)

// A card as a phone writes it: 17 lines, about 560 bytes.
std::string Card(int i) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Apple Inc.//iPhone OS 17.1//EN\r\n"
                "N:Family%d;Given%d;;;\r\nFN:Given%d Family%d\r\nORG:Company %d;\r\n"
                "TITLE:Title %d\r\n"
                "item1.EMAIL;type=INTERNET;type=pref:given%d.family%d@example%d.com\r\n"
                "item1.X-ABLabel:_$!<Work>!$_\r\nTEL;type=CELL;type=VOICE;type=pref:+1 555 %07d\r\n"
                "TEL;type=HOME:555-%04d\r\n"
                "item2.ADR;type=HOME;type=pref:;;%d Main Street;Springfield;IL;62701;USA\r\n"
                "item2.X-ABADR:us\r\nNOTE:Met at event %d\r\nUID:bench-%08d\r\n"
                "REV:2024-01-01T00:00:00Z\r\nEND:VCARD\r\n",
                i, i, i, i, i % 97, i % 13, i, i, i % 50, i, i % 10000, i, i, i);
  return text;
}

bool Exec(PGconn* pg, const char* sql, const std::vector<std::string>& values = {}) {
  std::vector<const char*> params;
  for (const auto& v : values) params.push_back(v.c_str());
  PGresult* res = PQexecParams(pg, sql, static_cast<int>(params.size()), nullptr, params.data(),
                               nullptr, nullptr, 0);
  const ExecStatusType status = PQresultStatus(res);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) std::fprintf(stderr, "SQL failed: %s: %s", sql, PQerrorMessage(pg));
  PQclear(res);
  return ok;
}

// Provisions `user` through the store and stores `count` cards in its address book.
bool StoreCards(const std::string& user, int count) {
  DBHandler store;
  store.SetupUserBasicInfo(user);
  const std::string guid = store.GetGUID(user);
  if (guid.empty()) return false;
  PGconn* pg = PQconnectdb("user=postgres dbname=caldav");
  bool ok = PQstatus(pg) == CONNECTION_OK && Exec(pg, "BEGIN");
  for (int i = 0; ok && i < count; ++i) {
    ok = Exec(pg,
              "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, "
              "vcard_text, vcard_uid, kind, md5) SELECT resource_id, $2, $3, $4, 0, '' FROM "
              "addressbook_home WHERE owner_uid=$1",
              {guid, "card-" + std::to_string(i) + ".vcf", Card(i), "bench-" + std::to_string(i)});
  }
  ok = ok && Exec(pg, "COMMIT");
  PQfinish(pg);
  return ok;
}

// Seconds for one request through the front, its reply discarded.
double RunFront(const std::string& front, const std::string& query) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", query.c_str(), 1);
  const double start = bench::NowSeconds();
  const bench::RunResult result = bench::Run({front});
  const double seconds = bench::NowSeconds() - start;
  if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0) {
    std::fprintf(stderr, "front failed for %s\n", query.c_str());
  }
  return seconds;
}

// Peak resident memory (KiB) of one request through the front, measured by the small probe.
long FrontPeakKiB(const std::string& probe, const std::string& front, const std::string& query,
                  const std::string& outPath) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", query.c_str(), 1);
  bench::Run({probe, outPath, front});
  long kib = 0;
  std::ifstream(outPath) >> kib;
  return kib;
}

// The front's reply to `query`, read from a file, to check that the listing does the work.
Json::Value FrontReply(const std::string& front, const std::string& query,
                       const std::string& replyPath) {
  setenv("REQUEST_METHOD", "GET", 1);
  setenv("QUERY_STRING", query.c_str(), 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, replyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  char* argv[] = {const_cast<char*>(front.c_str()), nullptr};
  pid_t pid = 0;
  int status = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) == 0) waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream in(replyPath, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  const std::string text = bytes.str();
  const size_t body = text.find("\r\n\r\n");
  Json::Value reply;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  if (body == std::string::npos ||
      !reader->parse(text.data() + body + 4, text.data() + text.size(), &reply, &errors)) {
    std::fprintf(stderr, "unreadable reply: %.200s\n", text.c_str());
  }
  return reply;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string Query(const std::string& user, bool search) {
  std::string query =
      "api=ORVA.ContactAndCalendar.Contacts&version=1&method=list_cards&user=" + user;
  if (search) query += std::string("&search_key=") + kSearch;
  return query;
}

// The stages of one listing of `user`, in-process, as listCards runs them: the store, the
// reader, the search, the records written as JSON text and written out, and freeing them;
// then the whole handler streaming its reply.
void Stages(const std::string& user, int cards) {
  double t0 = bench::NowSeconds();
  DBHandler store;
  double t1 = bench::NowSeconds();
  const std::string guid = store.GetGUID(user);
  Json::Value names(Json::arrayValue), texts(Json::arrayValue), ids(Json::arrayValue);
  const unsigned count = store.GetCards(names, texts, guid, ids);
  double t2 = bench::NowSeconds();
  std::vector<card::Record> records(count);
  for (unsigned i = 0; i < count; ++i) card::Read(texts[i].asString(), false, records[i]);
  double t3 = bench::NowSeconds();
  unsigned matched = 0;
  for (const card::Record& record : records) matched += card::Matches(record, kSearch);
  double t4 = bench::NowSeconds();
  std::string json;
  for (unsigned i = 0; i < count; ++i) {
    if (i) json += ',';
    card::AppendListedJson(records[i], {names[i].asString(), ids[i].asString(), ""}, &json);
  }
  double t5 = bench::NowSeconds();
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (write(devNull, json.data(), json.size()) < 0) std::perror("/dev/null");
  close(devNull);
  double t6 = bench::NowSeconds();
  const size_t bytes = json.size();
  records = {};
  double t7 = bench::NowSeconds();

  Json::Value params(Json::objectValue);
  params["user"] = user;
  ORVA::APIRequest whole(params);
  ORVA::APIResponse wholeResponse;
  // Streamed to /dev/null, as the front streams it to the client.
  const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  double t8 = bench::NowSeconds();
  {
    front::ClientStream stream(sink);
    wholeResponse.SetStream(&stream);
    contact_list_cards(&whole, &wholeResponse);
    stream.Flush();
    wholeResponse.SetStream(nullptr);
  }
  double t9 = bench::NowSeconds();
  close(sink);

  const double perCard = cards ? 1e6 / cards : 0;
  std::printf(
      "  %5d cards: connect %5.2f ms | GetCards %6.2f ms (%5.2f us/card) | parse %7.2f ms "
      "(%5.2f us/card) | search %6.2f ms (%4.2f us/card, %u hits) | JSON text %6.2f ms "
      "(%5.2f us/card, %zu bytes) | write %5.2f ms | freeing the records %6.2f ms | whole "
      "listCards %7.2f ms\n",
      cards, (t1 - t0) * 1e3, (t2 - t1) * 1e3, (t2 - t1) * perCard, (t3 - t2) * 1e3,
      (t3 - t2) * perCard, (t4 - t3) * 1e3, (t4 - t3) * perCard, matched, (t5 - t4) * 1e3,
      (t5 - t4) * perCard, bytes, (t6 - t5) * 1e3, (t7 - t6) * 1e3, (t9 - t8) * 1e3);
}

}  // namespace

int main() {
  const std::string build = LUMIDEX_BUILD_DIR;
  const std::string front = build + "/platform/entry.cgi";
  const std::string trivial = build + "/bench/trivial_program";
  const std::string connectProgram = build + "/bench/db_connect_program";
  const std::string probe = build + "/bench/peak_rss";
  if (!std::filesystem::exists(front)) {
    std::fprintf(stderr, "no CGI front at %s\n", front.c_str());
    return 1;
  }
  char pattern[] = "/tmp/lumidex-bench-root-XXXXXX";
  const std::string root = mkdtemp(pattern);
  const std::string package = root + "/var/packages/Lumidex/target";
  for (const char* sub : {"/var/db", "/var/log", "/webapi", "/tools", "/lib", "/etc"}) {
    std::filesystem::create_directories(package + sub);
  }
  std::filesystem::create_symlink(build + "/webapi/ORVA.ContactAndCalendar.so",
                                  package + "/webapi/ORVA.ContactAndCalendar.so");
  std::filesystem::create_symlink(build + "/package/orva_db_helper",
                                  package + "/tools/orva_db_helper.py");
  setenv("LUMIDEX_ROOT", root.c_str(), 1);
  // Signed in as the pages are (session cookie and CSRF token); admin may name every user here.
  if (!bench::SignInForBench(build, root, "admin")) return 1;

  const std::vector<std::pair<std::string, int>> users = {
      {"bench0", 0}, {"bench1k", 1000}, {"bench10k", 10000}};
  for (const auto& [user, count] : users) {
    if (!StoreCards(user, count)) {
      std::fprintf(stderr, "could not store the cards of %s\n", user.c_str());
      return 1;
    }
  }
  size_t bytes = 0;
  for (int i = 0; i < 10000; ++i) bytes += Card(i).size();
  std::printf("cards: 17 lines, %.0f bytes on average\n", bytes / 10000.0);

  // Each listing must really list: counts and hits read back from the front's replies.
  const std::string replyPath = root + "/reply";
  for (const auto& [user, count] : users) {
    for (bool search : {false, true}) {
      const Json::Value reply = FrontReply(front, Query(user, search), replyPath);
      const unsigned listed = reply["data"]["cards"].size();
      const unsigned expected = search ? (count == 10000 ? 111 : count == 1000 ? 11 : 0) : count;
      if (!reply["success"].asBool() || listed != expected) {
        std::fprintf(stderr, "%s%s listed %u cards, expected %u\n", user.c_str(),
                     search ? " (search)" : "", listed, expected);
        return 1;
      }
    }
  }

  // Interleaved rounds so that the shared machine's noise hits every figure alike.
  std::map<std::string, std::vector<double>> times;
  const int rounds = 5;
  for (int round = 0; round < rounds; ++round) {
    for (int i = 0; i < 20; ++i) {
      double start = bench::NowSeconds();
      bench::Run({trivial});
      times["trivial"].push_back(bench::NowSeconds() - start);
      start = bench::NowSeconds();
      DBConnect* connection = ORVADBConnect(nullptr, "postgres", "", "caldav");
      ORVADBClose(connection);
      times["connect"].push_back(bench::NowSeconds() - start);
      start = bench::NowSeconds();
      bench::Run({connectProgram});
      times["connect program"].push_back(bench::NowSeconds() - start);
    }
    for (const auto& [user, count] : users) {
      const int runs = count == 0 ? 20 : count == 1000 ? 10 : 2;
      for (bool search : {false, true}) {
        const std::string key = user + (search ? "/search" : "");
        for (int i = 0; i < runs; ++i) times[key].push_back(RunFront(front, Query(user, search)));
      }
    }
  }

  std::map<std::string, long> peakKiB;
  for (const auto& [user, count] : users) {
    for (bool search : {false, true}) {
      peakKiB[user + (search ? "/search" : "")] =
          FrontPeakKiB(probe, front, Query(user, search), root + "/peak");
    }
  }
  long trivialKiB = 0;
  bench::Run({probe, root + "/peak", trivial});
  std::ifstream(root + "/peak") >> trivialKiB;

  const double trivialMs = Median(times["trivial"]) * 1e3;
  const double connectMs = Median(times["connect"]) * 1e3;
  const double floorMs = trivialMs + connectMs;
  const double loadedFloorMs = Median(times["connect program"]) * 1e3;
  std::printf(
      "floor A: trivial program start %.2f ms + one database connection opened by a "
      "program that has libpq loaded already %.2f ms = %.2f ms\n",
      trivialMs, connectMs, floorMs);
  std::printf(
      "floor B: a C program that starts, loads libpq (and the libraries it needs) and "
      "opens one connection: %.2f ms\n",
      loadedFloorMs);
  std::printf("peak memory of the trivial program by the same probe: %.1f MiB\n",
              trivialKiB / 1024.0);
  std::printf("list_cards through entry.cgi (median of %d rounds; peak memory of the front):\n",
              rounds);
  for (bool search : {false, true}) {
    const std::string suffix = search ? "/search" : "";
    const double emptyMs = Median(times["bench0" + suffix]) * 1e3;
    for (const auto& [user, count] : users) {
      const double ms = Median(times[user + suffix]) * 1e3;
      std::printf("  %5d cards%-18s %8.2f ms  peak %6.1f MiB", count,
                  search ? (std::string(" search \"") + kSearch + "\"").c_str() : "", ms,
                  peakKiB[user + suffix] / 1024.0);
      if (count == 0) {
        std::printf("  = %.2fx floor A, %.2fx floor B (target <= 1.5x)\n", ms / floorMs,
                    ms / loadedFloorMs);
      } else {
        std::printf("  = %5.2f us per card above the empty listing (target <= 25)\n",
                    (ms - emptyMs) * 1e3 / count);
      }
    }
  }
  std::printf("peak memory for 10,000 cards: %.1f MiB (target < 64)\n",
              std::max(peakKiB["bench10k"], peakKiB["bench10k/search"]) / 1024.0);

  std::printf("where the time goes, in-process (database, parsing, search, JSON encoding):\n");
  for (const auto& [user, count] : users) Stages(user, count);

  std::filesystem::remove_all(root);
  return 0;
}
