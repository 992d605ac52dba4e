// The package's JSON configuration file: reading, changing entries, and writing it back without
// ever leaving a damaged or half-written file.
#include "conf_manager.h"

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "lumidex_paths.h"
#include "test_env.h"

using namespace testenv;

namespace {

class ConfFile : public ::testing::Test {
 protected:
  std::string Path() const { return root.Path(lumidex::kJsonConfPath); }
  TempRoot root;
};

TEST_F(ConfFile, MissingFileFailsToParseAndReadsAsNull) {
  ConfManager conf;
  EXPECT_FALSE(conf.JsonConfParse());
  EXPECT_TRUE(conf.JsonGet("general_setting").isNull());
}

TEST_F(ConfFile, CommentsAreDroppedAndEntriesKeptWithTabIndentation) {
  WriteFile(Path(),
            "// package settings\n{\n  \"general_setting\": {\"HTTPPort\": 8008, /* inline */ "
            "\"EnableSSL\": false},\n  \"other\": [1, \"two\"]\n}\n");
  ConfManager conf;
  ASSERT_TRUE(conf.JsonConfParse());
  ASSERT_TRUE(conf.JsonConfDump());
  const std::string written = ReadFile(Path());
  EXPECT_EQ(std::string::npos, written.find("//"));
  EXPECT_EQ(std::string::npos, written.find("inline"));
  EXPECT_NE(std::string::npos,
            written.find("\n\t\"general_setting\" : \n\t{\n\t\t\"EnableSSL\" : false"))
      << written;

  ConfManager again;
  ASSERT_TRUE(again.JsonConfParse());
  EXPECT_EQ(8008, again.JsonGet("general_setting")["HTTPPort"].asInt());
  EXPECT_EQ("two", again.JsonGet("other")[1].asString());
}

TEST_F(ConfFile, AbsentKeyReadBecomesANullMember) {
  WriteFile(Path(), "{\"a\": 1}");
  ConfManager conf;
  ASSERT_TRUE(conf.JsonConfParse());
  EXPECT_TRUE(conf.JsonGet("missing").isNull());
  ASSERT_TRUE(conf.JsonConfDump());
  ConfManager again;
  ASSERT_TRUE(again.JsonConfParse());
  EXPECT_EQ(1, again.JsonGet("a").asInt());
  EXPECT_NE(std::string::npos, ReadFile(Path()).find("\"missing\" : null"));
}

TEST_F(ConfFile, SetReplacesOrAddsAMember) {
  WriteFile(Path(), "{\"keep\": \"x\", \"general_setting\": {\"HTTPPort\": 1}}");
  ConfManager conf;
  ASSERT_TRUE(conf.JsonConfParse());
  Json::Value section(Json::objectValue);
  section["HTTPPort"] = 8080;
  conf.JsonSet(section, "general_setting");
  conf.JsonSet(Json::Value("new"), "added");
  ASSERT_TRUE(conf.JsonConfDump());
  ConfManager again;
  ASSERT_TRUE(again.JsonConfParse());
  EXPECT_EQ(8080, again.JsonGet("general_setting")["HTTPPort"].asInt());
  EXPECT_EQ("x", again.JsonGet("keep").asString());
  EXPECT_EQ("new", again.JsonGet("added").asString());
}

TEST_F(ConfFile, DamagedFileIsRefusedSoItsSettingsCannotBeOverwritten) {
  for (const std::string text :
       {"{\"general_setting\": {\"HTTPPort\": 80", "[1, 2, 3]", "\"just a string\"", ""}) {
    WriteFile(Path(), text);
    ConfManager conf;
    EXPECT_FALSE(conf.JsonConfParse()) << text;
    // Nothing was read, so nothing can be lost by accident: the document is still empty.
    EXPECT_TRUE(conf.JsonGet("general_setting").isNull());
    EXPECT_EQ(text, ReadFile(Path()));
  }
}

TEST_F(ConfFile, FailedWriteLeavesTheOldFileWhole) {
  const std::string original = "{\"general_setting\": {\"HTTPPort\": 8008}, \"keep\": true}";
  WriteFile(Path(), original);
  ConfManager conf;
  ASSERT_TRUE(conf.JsonConfParse());
  conf.JsonSet(Json::Value(std::string(64 * 1024, 'x')), "big");

  // A file size limit makes the write fail part way, as a full disk would.
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit limit = saved;
  limit.rlim_cur = 4096;
  signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limit));
  const bool dumped = conf.JsonConfDump();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);

  EXPECT_FALSE(dumped);
  EXPECT_EQ(original, ReadFile(Path()));
  for (const auto& entry :
       std::filesystem::directory_iterator(root.Path("/var/packages/Lumidex/target/etc"))) {
    EXPECT_EQ("calendar_server_json.conf", entry.path().filename().string())
        << "temporary file left behind";
  }
}

TEST_F(ConfFile, UnwritableFolderFailsTheDump) {
  std::filesystem::remove_all(root.Path("/var/packages/Lumidex/target/etc"));
  ConfManager conf;
  conf.JsonSet(Json::Value(1), "a");
  EXPECT_FALSE(conf.JsonConfDump());
}

TEST_F(ConfFile, DumpKeepsTheFilesPermissions) {
  WriteFile(Path(), "{}");
  std::filesystem::permissions(Path(), std::filesystem::perms(0640));
  ConfManager conf;
  ASSERT_TRUE(conf.JsonConfParse());
  ASSERT_TRUE(conf.JsonConfDump());
  EXPECT_EQ(std::filesystem::perms(0640),
            std::filesystem::status(Path()).permissions() & std::filesystem::perms::mask);
}

}  // namespace
