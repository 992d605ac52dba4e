// Import of a 1,000-card .vcf upload and download of 10,000 cards, both through the CGI front
// process as the web server runs it, against their floors measured in the same run: per imported
// card one AddCard plus one helper start, per exported card two database round trips.
#include <fcntl.h>
#include <libpq-fe.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_signin.h"
#include "bench_util.h"
#include "db_handler.h"
#include "orvacore.h"
#include "orvadb.h"

namespace {

constexpr int kImportCards = 1000;
constexpr int kExportCards = 10000;
// Import, export and their floors alternate so that the load of a shared machine hits them alike;
// the best round of each is printed beside the mean.
constexpr int kRounds = 5;
const char kContacts[] = "api=ORVA.ContactAndCalendar.Contacts&version=1&method=";

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool Sql(PGconn* conn, const std::string& sql) {
  PGresult* res = PQexec(conn, sql.c_str());
  const ExecStatusType status = PQresultStatus(res);
  const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
  if (!ok) std::fprintf(stderr, "SQL failed: %s", PQerrorMessage(conn));
  PQclear(res);
  return ok;
}

std::string Value(PGconn* conn, const std::string& sql) {
  PGresult* res = PQexec(conn, sql.c_str());
  std::string value = PQntuples(res) > 0 ? PQgetvalue(res, 0, 0) : "";
  PQclear(res);
  return value;
}

// --- realistic cards ---------------------------------------------------------------------------

const char* const kFirst[] = {
    "Anna",        "J\xC3\xBCrgen", "Zo\xC3\xAB", "\xC5\x81ukasz", "S\xC3\xB8ren",
    "Jos\xC3\xA9", "Mei",           "Olu",        "Priya",         "Tom"};
const char* const kLast[] = {"Schmidt",
                             "O'Neil",
                             "Kr\xC3\xA4mer",
                             "Nowak",
                             "Haddad",
                             "Tanaka",
                             "Okafor",
                             "Garc\xC3\xAD"
                             "a",
                             "Smith",
                             "Rossi"};

// A pseudo-random base64 photo of `bytes` bytes, folded as desktop programs fold it.
std::string FoldedPhoto(int seed, std::size_t bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string data = "/9j/4AAQSkZJRgABAQ";
  unsigned state = 2654435761u * static_cast<unsigned>(seed + 1);
  while (data.size() < bytes * 4 / 3) {
    state = state * 1103515245u + 12345u;
    data += alphabet[(state >> 16) % 64];
  }
  std::string line = "PHOTO;ENCODING=b;TYPE=JPEG:" + data;
  std::string folded = line.substr(0, 75);
  for (std::size_t at = 75; at < line.size(); at += 74) folded += "\r\n " + line.substr(at, 74);
  return folded + "\r\n";
}

// A card as address books export them: CR LF, grouped labels, a folded note, REV and UID lines,
// and every tenth card with an 8 KB photo.
std::string MakeCard(int n) {
  const std::string first = kFirst[n % 10];
  const std::string last = kLast[(n / 10) % 10];
  char phone[64];
  std::snprintf(phone, sizeof phone, "+49 170 %07d", 1000000 + n);
  std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nPRODID:-//Desktop//Contacts 14.0//EN\r\n";
  card += "N:" + last + ";" + first + ";;;\r\nFN:" + first + " " + last + "\r\n";
  card += "ORG:Company " + std::to_string(n % 37) + ";Sales\r\nTITLE:Account manager\r\n";
  card += "item1.EMAIL;type=INTERNET;type=pref:contact" + std::to_string(n) + "@example.com\r\n";
  card += "item1.X-ABLabel:_$!<Work>!$_\r\n";
  card += "TEL;type=CELL;type=VOICE;type=pref:" + std::string(phone) + "\r\n";
  card += "TEL;type=WORK;type=VOICE:+49 89 " + std::to_string(7000000 + n) + "\r\n";
  card +=
      "ADR;type=HOME;type=pref:;;Hauptstra\xC3\x9F"
      "e " +
      std::to_string(n % 200 + 1) + ";M\xC3\xBCnchen;;80331;Germany\r\n";
  card +=
      "NOTE:Met at the trade fair in spring\\, wants the new price list and a call back a\r\n"
      " bout the offer before the end of the quarter.\r\n";
  card += "BDAY:19" + std::to_string(60 + n % 40) + "-0" + std::to_string(1 + n % 9) + "-1" +
          std::to_string(n % 10) + "\r\n";
  if (n % 10 == 0) card += FoldedPhoto(n, 8 * 1024);
  card += "REV:2024-04-30T09:15:27Z\r\nUID:" + std::to_string(100000 + n) + "-bench\r\n";
  card += "END:VCARD\r\n";
  return card;
}

// --- the CGI front as a process
// -------------------------------------------------------------------

struct CgiRun {
  int status = -1;
  double seconds = 0;
  long maxRssKiB = 0;
};

// Linux carries a process's peak memory across exec, so a child spawned straight from this
// large process would report this process's size. The front is therefore started by a fresh,
// small copy of this program (`--measure`), which reports the front's own peak.
int MeasureChild(char** argv) {
  const std::string resultPath = argv[0];
  pid_t pid = 0;
  int status = -1;
  long maxRss = 0;
  if (posix_spawn(&pid, argv[1], nullptr, nullptr, argv + 1, environ) == 0) {
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) == pid) maxRss = usage.ru_maxrss;
  }
  std::ofstream(resultPath) << status << " " << maxRss << "\n";
  return 0;
}

// Runs the front with the CGI variables `cgi` added to this environment, standard input from
// `inputPath` (or /dev/null) and standard output to `outputPath`.
CgiRun RunFront(const std::string& front, const std::map<std::string, std::string>& cgi,
                const std::string& inputPath, const std::string& outputPath) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    if (!cgi.count(entry.substr(0, entry.find('=')))) env.push_back(entry);
  }
  for (const auto& [name, value] : cgi) env.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string resultPath = outputPath + ".measure";
  std::vector<std::string> args = {self, "--measure", resultPath, front};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, inputPath.empty() ? "/dev/null" : inputPath.c_str(),
                                   O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  CgiRun run;
  pid_t pid = 0;
  const double start = bench::NowSeconds();
  if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int launcherStatus = 0;
    waitpid(pid, &launcherStatus, 0);
  }
  run.seconds = bench::NowSeconds() - start;
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream(resultPath) >> run.status >> run.maxRssKiB;
  return run;
}

void StartAndReadLine(const std::string& program, const char* option) {
  FILE* stream = OLIBCPopen(program.c_str(), "r", option, static_cast<char*>(nullptr));
  if (!stream) return;
  char line[64];
  if (!fgets(line, sizeof line, stream)) line[0] = '\0';
  OLIBCPclose(stream);
}

// The two statements ExportData runs for one card, with the text fetched: the export's floor.
void ExportStatements(DBConnect* conn, const std::string& guid, const std::string& home,
                      const std::string& id) {
  const std::string statements[2] = {
      "SELECT resource_id FROM addressbook_home WHERE owner_uid='" + guid + "'",
      "SELECT vcard_text FROM addressbook_object WHERE resource_id='" + id +
          "' \t\t\tand addressbook_home_resource_id='" + home + "'"};
  for (const std::string& sql : statements) {
    DBResult* result = nullptr;
    if (ORVADBExecute(conn, sql.c_str(), &result) != -1) {
      int row = 0;
      if (ORVADBFetchRow(result, &row) != -1) ORVADBFetchField(result, row, "vcard_text");
    }
    if (result) ORVADBFreeResult(result);
  }
}

// The listing query GetCards runs, every row fetched: the one statement the export makes beyond
// its floor.
void ListingQuery(DBConnect* conn, const std::string& home) {
  const std::string sql =
      "SELECT resource_id, resource_name, vcard_text FROM addressbook_object WHERE "
      "addressbook_home_resource_id=" +
      home;
  DBResult* result = nullptr;
  if (ORVADBExecute(conn, sql.c_str(), &result) != -1) {
    int row = 0;
    while (ORVADBFetchRow(result, &row) != -1) ORVADBFetchField(result, row, "vcard_text");
  }
  if (result) ORVADBFreeResult(result);
}

void RoundTrip(DBConnect* conn) {
  DBResult* result = nullptr;
  ORVADBExecute(conn, "SELECT 1", &result);
  if (result) ORVADBFreeResult(result);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--measure") == 0) return MeasureChild(argv + 2);
  const std::string build = LUMIDEX_BUILD_DIR;
  const std::string helper = build + "/package/orva_db_helper";
  const std::string front = build + "/platform/entry.cgi";
  char pattern[] = "/tmp/lumidex-bench-impexp-XXXXXX";
  const std::string root = mkdtemp(pattern);
  const std::string package = root + "/var/packages/Lumidex/target";
  for (const char* sub : {"/var/db", "/var/log", "/tools", "/webapi", "/etc"}) {
    std::filesystem::create_directories(package + sub);
  }
  std::filesystem::create_symlink(helper, package + "/tools/orva_db_helper.py");
  std::filesystem::create_symlink(build + "/webapi/ORVA.ContactAndCalendar.so",
                                  package + "/webapi/ORVA.ContactAndCalendar.so");
  setenv("LUMIDEX_ROOT", root.c_str(), 1);
  setenv("TMPDIR", root.c_str(), 1);
  // Signed in as the pages are (session cookie and CSRF token); admin may name every user here.
  if (!bench::SignInForBench(build, root, "admin")) return 1;

  PGconn* check = PQconnectdb("user=postgres dbname=caldav");
  if (PQstatus(check) != CONNECTION_OK ||
      !Sql(check, "DROP SCHEMA public CASCADE; CREATE SCHEMA public;") ||
      !Sql(check, Slurp(std::string(LUMIDEX_SOURCE_DIR) + "/package/schema/caldav.sql"))) {
    std::fprintf(stderr, "cannot prepare the database\n");
    return 1;
  }
  DBHandler handler;
  for (const char* user : {"importer", "adder", "exporter", "empty"}) {
    handler.SetupUserBasicInfo(user);
  }
  auto homeOf = [&](const char* user) {
    return Value(check, "SELECT resource_id FROM addressbook_home WHERE owner_uid='" +
                            handler.GetGUID(user) + "'");
  };
  const std::string importerHome = homeOf("importer");
  const std::string adderGuid = handler.GetGUID("adder");
  const std::string exporterGuid = handler.GetGUID("exporter");
  const std::string exporterHome = homeOf("exporter");
  DBConnect* conn = ORVADBConnect(nullptr, "postgres", "", "caldav");
  if (importerHome.empty() || exporterHome.empty() || !conn) {
    std::fprintf(stderr, "users or connection missing\n");
    return 1;
  }

  // The upload: 1,000 cards in one file, sent as a browser sends a file field.
  std::string file;
  for (int n = 0; n < kImportCards; ++n) file += MakeCard(n);
  const std::string boundary = "----benchBoundary7MA4YWxkTrZu0gW";
  const std::string body = "--" + boundary +
                           "\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\nimporter\r\n"
                           "--" +
                           boundary +
                           "\r\nContent-Disposition: form-data; name=\"file\"; "
                           "filename=\"contacts.vcf\"\r\nContent-Type: text/vcard\r\n\r\n" +
                           file + "\r\n--" + boundary + "--\r\n";
  const std::string bodyPath = root + "/upload-body";
  std::ofstream(bodyPath, std::ios::binary) << body;
  const std::map<std::string, std::string> importCgi = {
      {"REQUEST_METHOD", "POST"},
      {"QUERY_STRING", std::string(kContacts) + "import_cards"},
      {"CONTENT_TYPE", "multipart/form-data; boundary=" + boundary},
      {"CONTENT_LENGTH", std::to_string(body.size())}};

  double import = 0, add = 0, uuidStart = 0, worstImport = 0;
  double bestImport = 1e9, bestAdd = 1e9, bestUuid = 1e9;
  std::vector<std::string> stored;
  int failures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const CgiRun run = RunFront(front, importCgi, bodyPath, root + "/import-reply");
    import += run.seconds;
    worstImport = std::max(worstImport, run.seconds);
    bestImport = std::min(bestImport, run.seconds);
    const std::string reply = Slurp(root + "/import-reply");
    if (reply.find("{\"success\":true,\"data\":null}") == std::string::npos) {
      std::fprintf(stderr, "import failed: %s\n", reply.c_str());
      ++failures;
    }
    if (stored.empty()) {
      PGresult* res = PQexec(check, ("SELECT vcard_text FROM addressbook_object WHERE "
                                     "addressbook_home_resource_id=" +
                                     importerHome + " ORDER BY resource_id")
                                        .c_str());
      for (int i = 0; i < PQntuples(res); ++i) stored.push_back(PQgetvalue(res, i, 0));
      PQclear(res);
      if (stored.size() != static_cast<std::size_t>(kImportCards)) {
        std::fprintf(stderr, "import stored %zu cards\n", stored.size());
        return 1;
      }
    }
    // The floor: the same stored texts through AddCard, and one helper start per card.
    double t = bench::NowSeconds();
    for (int n = 0; n < kImportCards; ++n) {
      failures += !handler.AddCard(adderGuid, "r" + std::to_string(round) + "-" + std::to_string(n),
                                   stored[n]);
    }
    const double addRound = bench::NowSeconds() - t;
    add += addRound;
    bestAdd = std::min(bestAdd, addRound);
    t = bench::NowSeconds();
    for (int n = 0; n < kImportCards; ++n) StartAndReadLine(helper, "--getUUID");
    const double uuidRound = bench::NowSeconds() - t;
    uuidStart += uuidRound;
    bestUuid = std::min(bestUuid, uuidRound);
    std::printf("  round %d: import %.2f s, AddCard %.2f s + helper starts %.2f s, ratio %.3f\n",
                round + 1, run.seconds, addRound, uuidRound, run.seconds / (addRound + uuidRound));
  }
  const std::string imported =
      Value(check, "SELECT count(*) FROM addressbook_object WHERE addressbook_home_resource_id=" +
                       importerHome);

  // 10,000 cards for the download: the imported texts ten times over.
  Sql(check,
      "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, vcard_text, "
      "vcard_uid, kind, md5) SELECT " +
          exporterHome +
          ", g || '-' || resource_name, vcard_text, g || '-' || vcard_uid, kind, md5 FROM "
          "(SELECT * FROM addressbook_object WHERE addressbook_home_resource_id=" +
          importerHome + " ORDER BY resource_id LIMIT " + std::to_string(kImportCards) +
          ") AS one, generate_series(1, " + std::to_string(kExportCards / kImportCards) + ") g");
  Sql(check, "ANALYZE");
  std::vector<std::string> ids;
  {
    PGresult* res = PQexec(check, ("SELECT resource_id FROM addressbook_object WHERE "
                                   "addressbook_home_resource_id=" +
                                   exporterHome)
                                      .c_str());
    for (int i = 0; i < PQntuples(res); ++i) ids.push_back(PQgetvalue(res, i, 0));
    PQclear(res);
  }
  const std::size_t expectedBody =
      std::stoul(Value(check,
                       "SELECT sum(octet_length(vcard_text) + 1) FROM addressbook_object WHERE "
                       "addressbook_home_resource_id=" +
                           exporterHome));

  const auto exportCgi = [&](const char* user) {
    return std::map<std::string, std::string>{
        {"REQUEST_METHOD", "GET"},
        {"QUERY_STRING", std::string(kContacts) + "export_all_cards&user=" + user}};
  };
  double exportTime = 0, floorStatements = 0, floorSelectOne = 0;
  double bestExport = 1e9, bestStatements = 1e9, listing = 0;
  long exportRss = 0, emptyRss = 0;
  std::size_t replyBody = 0;
  for (int round = 0; round < kRounds; ++round) {
    const CgiRun run = RunFront(front, exportCgi("exporter"), "", root + "/export-reply");
    exportTime += run.seconds;
    bestExport = std::min(bestExport, run.seconds);
    exportRss = std::max(exportRss, run.maxRssKiB);
    const std::string reply = Slurp(root + "/export-reply");
    const std::size_t headerEnd = reply.find("\n\n");
    replyBody = headerEnd == std::string::npos ? 0 : reply.size() - headerEnd - 2;
    if (reply.compare(0, 16, "Content-Length: ") != 0 || replyBody != expectedBody ||
        std::stoul(reply.substr(16)) != expectedBody) {
      std::fprintf(stderr, "export reply wrong: %.80s\n", reply.c_str());
      ++failures;
    }
    emptyRss =
        std::max(emptyRss, RunFront(front, exportCgi("empty"), "", root + "/empty").maxRssKiB);

    double t = bench::NowSeconds();
    for (const std::string& id : ids) ExportStatements(conn, exporterGuid, exporterHome, id);
    const double statementsRound = bench::NowSeconds() - t;
    floorStatements += statementsRound;
    bestStatements = std::min(bestStatements, statementsRound);
    t = bench::NowSeconds();
    ListingQuery(conn, exporterHome);
    listing += bench::NowSeconds() - t;
    t = bench::NowSeconds();
    for (std::size_t i = 0; i < 2 * ids.size(); ++i) RoundTrip(conn);
    floorSelectOne += bench::NowSeconds() - t;
  }

  const double importSeconds = import / kRounds;
  const double addUs = add * 1e6 / (kRounds * kImportCards);
  const double uuidUs = uuidStart * 1e6 / (kRounds * kImportCards);
  const double importUs = importSeconds * 1e6 / kImportCards;
  const double importFloorUs = addUs + uuidUs;
  const double exportSeconds = exportTime / kRounds;
  const double statementsSeconds = floorStatements / kRounds;
  const double selectOneSeconds = floorSelectOne / kRounds;
  const double bodyMiB = expectedBody / 1048576.0;
  const double rssMiB = exportRss / 1024.0;
  const double emptyMiB = emptyRss / 1024.0;

  std::printf("import: %d cards, %.2f MB file, through entry.cgi (mean of %d runs)\n", kImportCards,
              file.size() / 1e6, kRounds);
  std::printf("  cards stored                            %s (%d x %d)\n", imported.c_str(), kRounds,
              kImportCards);
  std::printf("  import per run                          %8.2f s   (slowest %.2f s, limit 60 s)\n",
              importSeconds, worstImport);
  std::printf("  import per card                         %8.1f us\n", importUs);
  std::printf("  floor: AddCard per card                 %8.1f us\n", addUs);
  std::printf("  floor: helper start --getUUID           %8.1f us\n", uuidUs);
  std::printf(
      "  floor per card                          %8.1f us   import / floor = %.3f (target "
      "<= 1.15)\n",
      importFloorUs, importUs / importFloorUs);
  std::printf("  best rounds: import %.2f s, floor %.2f s   import / floor = %.3f\n", bestImport,
              bestAdd + bestUuid, bestImport / (bestAdd + bestUuid));
  std::printf("export_all_cards: %zu cards, body %.2f MiB, through entry.cgi (mean of %d runs)\n",
              ids.size(), bodyMiB, kRounds);
  std::printf("  export                                  %8.3f s   (%.1f us per card)\n",
              exportSeconds, exportSeconds * 1e6 / ids.size());
  std::printf(
      "  floor: its 2 statements per card        %8.3f s   export / floor = %.2f (target "
      "<= 1.5)\n",
      statementsSeconds, exportSeconds / statementsSeconds);
  std::printf("  best rounds: export %.3f s, floor %.3f s   export / floor = %.2f\n", bestExport,
              bestStatements, bestExport / bestStatements);
  std::printf(
      "  the listing query alone (not in the floor) %5.3f s   export / (floor + it) = %.2f\n",
      listing / kRounds, exportSeconds / (statementsSeconds + listing / kRounds));
  std::printf("  floor: 2 x SELECT 1 per card            %8.3f s   export / floor = %.2f\n",
              selectOneSeconds, exportSeconds / selectOneSeconds);
  std::printf("  peak memory of the front                %8.1f MiB = %.2f x body (target < 3)\n",
              rssMiB, rssMiB / bodyMiB);
  std::printf("  same front, empty download              %8.1f MiB\n", emptyMiB);
  std::printf("  peak beyond the empty download          %8.1f MiB = %.2f x body\n",
              rssMiB - emptyMiB, (rssMiB - emptyMiB) / bodyMiB);
  std::printf("  body bytes as received                  %zu (expected %zu)\n", replyBody,
              expectedBody);

  PQfinish(check);
  ORVADBClose(conn);
  std::filesystem::remove_all(root);
  return failures == 0 ? 0 : 1;
}
