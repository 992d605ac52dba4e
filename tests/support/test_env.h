// Shared fixtures of the tests: a package tree under a temporary LUMIDEX_ROOT with the real
// helper program, the test run's PostgreSQL database "caldav" reset to the daemon's empty tables,
// and a record of what the code under test wrote to the system log.
#ifndef LUMIDEX_TESTS_TEST_ENV_H
#define LUMIDEX_TESTS_TEST_ENV_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testenv {

using Row = std::vector<std::string>;
using Rows = std::vector<Row>;

// Source and build folders of this build.
std::string SourceDir();
std::string BuildDir();

// A fresh package tree under a temporary folder, exported as LUMIDEX_ROOT for its lifetime.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& Dir() const { return _dir; }
  // `fixed` (an absolute path of the appliance) as it lies under this root.
  std::string Path(const std::string& fixed) const { return _dir + fixed; }
  // Installs `target` as the package's helper program (default: the real one).
  void InstallHelper(const std::string& target);
  void RemoveHelper();

 private:
  std::string _dir;
};

// The test run's database "caldav" (reached through PGHOST/PGPORT), emptied to the daemon's
// tables by Reset().
class Caldav {
 public:
  static void Reset();
  static Rows Query(const std::string& sql);
  static void Exec(const std::string& sql);
  // The single value of a one-row, one-column query ("" when no row).
  static std::string Value(const std::string& sql);
  static std::string Quote(const std::string& text);  // a safe SQL literal for test setup
  // The resource id of the address-book home of `guid` ("" when it has none).
  static std::string HomeOf(const std::string& guid);
  // Stores a card row directly, as the daemon holds one, and returns its resource id.
  static std::string InsertCard(const std::string& home, const std::string& name,
                                const std::string& text, const std::string& uid,
                                const std::string& md5 = "");
};

// Every message written with syslog since the last Clear(), formatted.
class Syslog {
 public:
  static void Clear();
  static std::vector<std::string> Messages();
  // How many messages contain `text`.
  static int Count(const std::string& text);
};

// Base fixture: fresh root, fresh database, empty syslog record.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // What the code under test wrote to the package's error log.
  std::string ErrorLogText() const;
  TempRoot root;
};

// File helpers.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// A script under the root whose body is `body` (a shell script), made executable; returns its path.
std::string WriteScript(const std::string& path, const std::string& body);

// The folder of real vCard files from phones, desktop address books and webmail
// (LUMIDEX_VCARD_SAMPLES names another), the names of its .vcf files sorted, and one file's bytes.
std::string SampleFolder();
std::vector<std::string> SampleFiles();
std::string SampleFile(const std::string& name);
// The bytes of tests/data/`name`.
std::string DataFile(const std::string& name);

// MD5 of `bytes` as 32 lower-case hex digits, computed in the test for comparison.
std::string Md5Hex(const std::string& bytes);

}  // namespace testenv

#endif  // LUMIDEX_TESTS_TEST_ENV_H
