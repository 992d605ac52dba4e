// The PostgreSQL server `make run` keeps everyone's contacts in: started by scripts/pg.sh with
// the arguments scripts/run.sh gives it, it must keep PostgreSQL's durability, so that a crash
// of the machine cannot corrupt the database. (Only the tests' and benchmarks' servers go
// without it.)
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <stdlib.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "test_env.h"

using namespace testenv;

namespace {

// The value of a SHOW statement on the server whose socket folder is `dir`.
std::string Show(const std::string& dir, const std::string& setting) {
  const std::string conninfo = "host=" + dir + " user=postgres dbname=caldav";
  PGconn* connection = PQconnectdb(conninfo.c_str());
  std::string value;
  if (PQstatus(connection) == CONNECTION_OK) {
    PGresult* result = PQexec(connection, ("SHOW " + setting).c_str());
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1) {
      value = PQgetvalue(result, 0, 0);
    }
    PQclear(result);
  } else {
    ADD_FAILURE() << PQerrorMessage(connection);
  }
  PQfinish(connection);
  return value;
}

TEST(RunDatabaseTest, MakeRunsServerKeepsFsyncAndFullPageWritesOn) {
  // The arguments after the folder in run.sh's own start of pg.sh.
  const std::string run = ReadFile(SourceDir() + "/scripts/run.sh");
  std::smatch start;
  ASSERT_TRUE(std::regex_search(run, start, std::regex(R"(pg\.sh" start "\$pgdir"([^)]*)\))")))
      << "scripts/run.sh no longer starts pg.sh as this test expects";
  std::vector<std::string> command = {"/bin/bash", SourceDir() + "/scripts/pg.sh", "start"};
  char pattern[] = "/tmp/lumidex-run-pg-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  command.push_back(dir);
  const std::string rest = start[1];
  std::regex word(R"([^\s]+)");
  for (auto it = std::sregex_iterator(rest.begin(), rest.end(), word); it != std::sregex_iterator();
       ++it) {
    command.push_back(it->str());
  }

  ProcessResult started = RunProcess(command, {}, "");
  EXPECT_EQ(0, started.exitCode) << started.err;
  if (started.exitCode == 0) {
    EXPECT_EQ("on", Show(dir, "fsync"));
    EXPECT_EQ("on", Show(dir, "full_page_writes"));
  }
  ProcessResult stopped = RunProcess({"/bin/bash", SourceDir() + "/scripts/pg.sh", "stop", dir});
  EXPECT_EQ(0, stopped.exitCode) << stopped.err;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
