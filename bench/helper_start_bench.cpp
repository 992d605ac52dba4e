// Start-up cost of the package's helper program against a trivial C program, measured in the
// same run: the store starts the helper up to three times per stored card.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bench_util.h"

int main() {
  const std::string build = LUMIDEX_BUILD_DIR;
  const std::string helper = build + "/package/orva_db_helper";
  const std::string trivial = build + "/bench/trivial_program";
  char pattern[] = "/tmp/lumidex-bench-root-XXXXXX";
  const std::string root = mkdtemp(pattern);
  std::filesystem::create_directories(root + "/var/packages/Lumidex/target/var/db");
  setenv("LUMIDEX_ROOT", root.c_str(), 1);
  bench::Run({helper, "--checkGUID", "bench-user"});  // the mapping row exists from here on

  const int runs = 500;
  const std::string card(2000, 'x');
  // Interleave the measurements so that machine noise hits them alike.
  double trivialTotal = 0, uuidTotal = 0, md5Total = 0, guidTotal = 0;
  for (int round = 0; round < 5; ++round) {
    trivialTotal += bench::TimePerRun({trivial}, runs / 5);
    uuidTotal += bench::TimePerRun({helper, "--getUUID"}, runs / 5);
    md5Total += bench::TimePerRun({helper, "--getMD5", card}, runs / 5);
    guidTotal += bench::TimePerRun({helper, "--checkGUID", "bench-user"}, runs / 5);
  }
  const double t = trivialTotal / 5 * 1e6, u = uuidTotal / 5 * 1e6, m = md5Total / 5 * 1e6,
               g = guidTotal / 5 * 1e6;
  std::printf("trivial C program start   %8.1f us\n", t);
  std::printf("helper --getUUID          %8.1f us  (%.2fx trivial)\n", u, u / t);
  std::printf("helper --getMD5 (2 KB)    %8.1f us  (%.2fx trivial)\n", m, m / t);
  std::printf("helper --checkGUID known  %8.1f us  (%.2fx trivial)\n", g, g / t);
  std::filesystem::remove_all(root);
  return 0;
}
