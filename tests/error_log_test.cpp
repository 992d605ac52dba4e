// The package's error log: the line layout with its 12-hour local time, the system-log entry of
// severe levels, message pieces, a missing file or folder, and parallel writers.
#include "error_log.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>

#include "lumidex_paths.h"
#include "test_env.h"

using namespace testenv;

namespace {

const char* const kEnd = nullptr;

class ErrorLogFile : public ::testing::Test {
 protected:
  void SetUp() override { Syslog::Clear(); }
  void TearDown() override {
    saved ? setenv("TZ", saved->c_str(), 1) : unsetenv("TZ");
    tzset();
  }

  std::string LogPath() const { return root.Path(lumidex::kErrorLogPath); }
  std::string Log() const { return ReadFile(LogPath()); }

  // A zone in which the local hour is now `hour`, found from the current UTC time.
  void ZoneWithLocalHour(int hour) {
    const time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    int offset = ((hour - utc.tm_hour) % 24 + 24) % 24;  // local = UTC + offset
    if (offset > 12) offset -= 24;
    // POSIX zones count westwards: "LTZ-3" is three hours ahead of UTC.
    const std::string zone =
        "LTZ" + std::string(offset > 0 ? "-" : "+") + std::to_string(std::abs(offset));
    setenv("TZ", zone.c_str(), 1);
    tzset();
  }

  // The time text of the log for `when` in the current zone, built from the broken-down time.
  static std::string Stamp(time_t when) {
    struct tm local;
    localtime_r(&when, &local);
    const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[64];
    snprintf(text, sizeof text, "%02d-%02d-%04d %02d:%02d:%02d", local.tm_mday, local.tm_mon + 1,
             local.tm_year + 1900, hour12, local.tm_min, local.tm_sec);
    return text;
  }

  // Runs one call and returns the time text it must have used (the clock may tick once).
  std::vector<std::string> StampsAround(const std::function<void()>& call) {
    const time_t before = time(nullptr);
    call();
    const time_t after = time(nullptr);
    std::vector<std::string> stamps;
    for (time_t t = before; t <= after; ++t) stamps.push_back(Stamp(t));
    return stamps;
  }

  TempRoot root;
  std::optional<std::string> saved =
      getenv("TZ") ? std::optional<std::string>(getenv("TZ")) : std::nullopt;
};

::testing::AssertionResult OneOf(const std::string& text, const std::vector<std::string>& options) {
  for (const auto& option : options) {
    if (text == option) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "'" << text << "' is none of " << ::testing::PrintToString(options);
}

TEST_F(ErrorLogFile, LevelOneAppendsOneLineToTheFileOnly) {
  ASSERT_FALSE(FileExists(LogPath()));
  const auto stamps = StampsAround([] { ErrorLog("a", 7, 1, "x", kEnd); });
  const std::string log = Log();
  ASSERT_EQ(19u + std::string(" a:line 7 x\n").size(), log.size()) << log;
  EXPECT_TRUE(OneOf(log.substr(0, 19), stamps));
  EXPECT_EQ(" a:line 7 x\n", log.substr(19));
  EXPECT_TRUE(Syslog::Messages().empty());
}

TEST_F(ErrorLogFile, LevelTwoStillWritesTheFileOnly) {
  ErrorLog("webapi-ContactAndCalendar", 123, 2, "Request lost parameters", kEnd);
  EXPECT_TRUE(std::regex_match(Log(), std::regex("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d "
                                                 "webapi-ContactAndCalendar:line 123 "
                                                 "Request lost parameters\n")))
      << Log();
  EXPECT_TRUE(Syslog::Messages().empty());
}

TEST_F(ErrorLogFile, LevelThreeAlsoWritesTheSystemLogWithTheSameTime) {
  ErrorLog("a", 7, 3, "x", kEnd);
  const std::string log = Log();
  ASSERT_GE(log.size(), 19u);
  const std::string stamp = log.substr(0, 19);
  EXPECT_EQ(stamp + " a:line 7 x\n", log);
  EXPECT_EQ(std::vector<std::string>{"[a:7: " + stamp + "] x \n"}, Syslog::Messages());
}

TEST_F(ErrorLogFile, MessagePiecesAreJoinedWithoutSeparators) {
  ErrorLog("f.cpp", 1, 1, "Json conf ", "dump", " error", kEnd);
  ErrorLog("f.cpp", 2, 1, kEnd);
  ErrorLog("f.cpp", 3, 1, "", "x", "", kEnd);
  std::istringstream lines(Log());
  std::string line;
  std::vector<std::string> tails;
  while (std::getline(lines, line)) tails.push_back(line.substr(19));
  EXPECT_EQ((std::vector<std::string>{" f.cpp:line 1 Json conf dump error", " f.cpp:line 2 ",
                                      " f.cpp:line 3 x"}),
            tails);
}

TEST_F(ErrorLogFile, TimeIsLocalOnTheTwelveHourClock) {
  // 13 h shows 01, noon and midnight show 12, 01 h shows 01: the hour field alone never tells
  // morning from afternoon.
  for (const auto& [hour, shown] :
       std::vector<std::pair<int, std::string>>{{13, "01"}, {0, "12"}, {12, "12"}, {1, "01"}}) {
    std::filesystem::remove(LogPath());
    for (int attempt = 0; attempt < 3; ++attempt) {
      ZoneWithLocalHour(hour);
      const auto stamps = StampsAround([] { ErrorLog("a", 7, 1, "x", kEnd); });
      if (stamps.front().substr(11, 2) != stamps.back().substr(11, 2)) {
        std::filesystem::remove(LogPath());  // the hour turned during the call; try again
        continue;
      }
      const std::string log = Log();
      EXPECT_TRUE(OneOf(log.substr(0, 19), stamps)) << "hour " << hour;
      EXPECT_EQ(shown, log.substr(11, 2)) << "hour " << hour << ": " << log;
      break;
    }
  }
}

TEST_F(ErrorLogFile, FileIsCreatedOnceAndThenAppendedTo) {
  ErrorLog("a", 1, 1, "first", kEnd);
  const std::string first = Log();
  ErrorLog("a", 2, 1, "second", kEnd);
  const std::string both = Log();
  EXPECT_EQ(0u, both.find(first));
  EXPECT_EQ(" a:line 2 second\n", both.substr(first.size() + 19));
}

TEST_F(ErrorLogFile, UnwritableLogLosesTheLineSilentlyButNotTheSystemLogEntry) {
  std::filesystem::remove_all(root.Path("/var/packages/Lumidex/target/var/log"));
  ErrorLog("a", 7, 1, "x", kEnd);
  EXPECT_TRUE(Syslog::Messages().empty());
  ErrorLog("a", 8, 3, "y", kEnd);
  EXPECT_FALSE(FileExists(LogPath()));
  ASSERT_EQ(1u, Syslog::Messages().size());
  EXPECT_TRUE(
      std::regex_match(Syslog::Messages()[0],
                       std::regex("\\[a:8: \\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\\] y \n")))
      << Syslog::Messages()[0];
}

TEST_F(ErrorLogFile, ParallelWritersAppendWholeLines) {
  // Long messages, so that a line written in more than one piece would show up torn.
  const int kWriters = 4;
  const int kLines = 400;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      const std::string message(6000, static_cast<char>('A' + w));
      for (int i = 0; i < kLines; ++i) ErrorLog("w", w, 1, message.c_str(), kEnd);
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream lines(Log());
  std::string line;
  int count = 0;
  const std::regex head("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d w:line [0-9] ");
  while (std::getline(lines, line)) {
    ++count;
    const size_t headSize = 19 + std::string(" w:line 0 ").size();
    ASSERT_EQ(headSize + 6000, line.size()) << "torn line " << count;
    ASSERT_TRUE(std::regex_match(line.substr(0, headSize), head)) << "torn line " << count;
    const char writer = static_cast<char>('A' + (line[headSize - 2] - '0'));
    EXPECT_EQ(std::string(6000, writer), line.substr(headSize)) << "torn line " << count;
  }
  EXPECT_EQ(kWriters * kLines, count);
}

}  // namespace
