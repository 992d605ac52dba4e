// Fixtures shared by the tests (see test_env.h).
#include "test_env.h"

#include "lumidex_paths.h"

#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <libpq-fe.h>
#include <openssl/md5.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {
std::vector<std::string>& SyslogRecord() {
  static std::vector<std::string> record;
  return record;
}

void Record(const char* format, va_list ap) {
  char buffer[8192];
  std::vsnprintf(buffer, sizeof buffer, format, ap);
  SyslogRecord().push_back(buffer);
}
}  // namespace

// The test executable's own syslog: the libraries' calls resolve to it, so tests can read what
// the code logged.
extern "C" void syslog(int, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  Record(format, ap);
  va_end(ap);
}

extern "C" void __syslog_chk(int, int, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  Record(format, ap);
  va_end(ap);
}

namespace testenv {

std::string SourceDir() { return LUMIDEX_SOURCE_DIR; }
std::string BuildDir() { return LUMIDEX_BUILD_DIR; }

TempRoot::TempRoot() {
  char pattern[] = "/tmp/lumidex-test-XXXXXX";
  char* made = mkdtemp(pattern);
  if (!made) std::abort();
  _dir = made;
  for (const char* sub :
       {"/var/packages/Lumidex/target/lib", "/var/packages/Lumidex/target/etc",
        "/var/packages/Lumidex/target/tools", "/var/packages/Lumidex/target/tool",
        "/var/packages/Lumidex/target/var/db", "/var/packages/Lumidex/target/var/log",
        "/var/packages/Lumidex/target/webapi", "/usr/local/etc/services.d"}) {
    fs::create_directories(_dir + sub);
  }
  InstallHelper(BuildDir() + "/package/orva_db_helper");
  // The module where the front looks for it, so a test can run the front against this root.
  fs::create_symlink(BuildDir() + "/webapi/ORVA.ContactAndCalendar.so",
                     Path("/var/packages/Lumidex/target/webapi/ORVA.ContactAndCalendar.so"));
  setenv("LUMIDEX_ROOT", _dir.c_str(), 1);
}

TempRoot::~TempRoot() {
  unsetenv("LUMIDEX_ROOT");
  std::error_code ignored;
  fs::remove_all(_dir, ignored);
}

void TempRoot::InstallHelper(const std::string& target) {
  RemoveHelper();
  fs::create_symlink(target, Path("/var/packages/Lumidex/target/tools/orva_db_helper.py"));
}

void TempRoot::RemoveHelper() {
  std::error_code ignored;
  fs::remove(Path("/var/packages/Lumidex/target/tools/orva_db_helper.py"), ignored);
}

namespace {
PGconn* Connect() {
  PGconn* conn = PQconnectdb("user=postgres dbname=caldav");
  if (PQstatus(conn) != CONNECTION_OK) {
    ADD_FAILURE() << "cannot reach the test database (is PGHOST set?): " << PQerrorMessage(conn);
  }
  return conn;
}

Rows Run(const std::string& sql) {
  Rows rows;
  PGconn* conn = Connect();
  PGresult* res = PQexec(conn, sql.c_str());
  ExecStatusType status = PQresultStatus(res);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    ADD_FAILURE() << "SQL failed: " << sql << ": " << PQerrorMessage(conn);
  } else if (status == PGRES_TUPLES_OK) {
    for (int r = 0; r < PQntuples(res); ++r) {
      Row row;
      for (int c = 0; c < PQnfields(res); ++c) row.push_back(PQgetvalue(res, r, c));
      rows.push_back(row);
    }
  }
  PQclear(res);
  PQfinish(conn);
  return rows;
}
}  // namespace

void Caldav::Reset() {
  Run("DROP SCHEMA public CASCADE; CREATE SCHEMA public;");
  Run(ReadFile(SourceDir() + "/package/schema/caldav.sql"));
}

Rows Caldav::Query(const std::string& sql) { return Run(sql); }
void Caldav::Exec(const std::string& sql) { Run(sql); }

std::string Caldav::Value(const std::string& sql) {
  Rows rows = Run(sql);
  return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

std::string Caldav::Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

std::string Caldav::HomeOf(const std::string& guid) {
  return Value("SELECT resource_id FROM addressbook_home WHERE owner_uid=" + Quote(guid));
}

std::string Caldav::InsertCard(const std::string& home, const std::string& name,
                               const std::string& text, const std::string& uid,
                               const std::string& md5) {
  return Value(
      "INSERT INTO addressbook_object (addressbook_home_resource_id, resource_name, vcard_text, "
      "vcard_uid, kind, md5) VALUES (" +
      home + ", " + Quote(name) + ", " + Quote(text) + ", " + Quote(uid) + ", 0, " + Quote(md5) +
      ") RETURNING resource_id");
}

void Syslog::Clear() { SyslogRecord().clear(); }
std::vector<std::string> Syslog::Messages() { return SyslogRecord(); }
int Syslog::Count(const std::string& text) {
  int n = 0;
  for (const auto& m : SyslogRecord()) n += m.find(text) != std::string::npos;
  return n;
}

void StoreTest::SetUp() {
  Caldav::Reset();
  Syslog::Clear();
}

std::string StoreTest::ErrorLogText() const { return ReadFile(root.Path(lumidex::kErrorLogPath)); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string WriteScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
  return path;
}

std::string SampleFolder() {
  const char* folder = std::getenv("LUMIDEX_VCARD_SAMPLES");
  return folder ? folder : SourceDir() + "/../shared/vcards";
}

std::vector<std::string> SampleFiles() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& file : fs::directory_iterator(SampleFolder(), error)) {
    if (file.path().extension() == ".vcf") names.push_back(file.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string SampleFile(const std::string& name) { return ReadFile(SampleFolder() + "/" + name); }

std::string DataFile(const std::string& name) {
  return ReadFile(SourceDir() + "/tests/data/" + name);
}

std::string Md5Hex(const std::string& bytes) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  char hex[33];
  for (int i = 0; i < MD5_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

}  // namespace testenv
