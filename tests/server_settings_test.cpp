// The server settings through the module's API table: "get" and "set" against real files under a
// temporary root, the real conversion script and the CardDAV daemon listening on loopback ports.
#include <fcntl.h>
#include <grp.h>
#include <json/json.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "lumidex_paths.h"
#include "module_call.h"
#include "records.h"
#include "settings_env.h"

using namespace testenv;
namespace fs = std::filesystem;

namespace {

// Everything a "set" may change, captured for before/after comparisons.
struct Snapshot {
  std::string serviceFile;
  std::string conf;
  bool plistExists;
  std::string plist;
  bool rulesExist;
  std::string rules;
  std::string daemonPid;
  bool operator==(const Snapshot& o) const {
    return serviceFile == o.serviceFile && conf == o.conf && plistExists == o.plistExists &&
           plist == o.plist && rulesExist == o.rulesExist && rules == o.rules &&
           daemonPid == o.daemonPid;
  }
};

std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
  return out << "service file:\n"
             << s.serviceFile << "\nconf:\n"
             << s.conf << "\nplist " << s.plistExists << ", rules " << s.rulesExist << ":\n"
             << s.rules << "\npid " << s.daemonPid;
}

ino_t Inode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

Json::Value SetParams(const Json::Value& http, const Json::Value& https, const Json::Value& ssl,
                      const Json::Value& redirect) {
  Json::Value params(Json::objectValue);
  params["HTTPPort"] = http;
  params["SSLPort"] = https;
  params["EnableSSL"] = ssl;
  params["RedirectHTTPToHTTPS"] = redirect;
  return params;
}

// One request through the table row the framework would pick.
ORVA::APIResponse Call(const char* method, const Json::Value& params) {
  return RunMethod("ORVA.ContactAndCalendar.Common", method, params);
}

class ServerSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallSettingsPackage(root);
    http = FreePort();
    https = FreePort();
    // One line, so that a rewrite in the module's tab-indented form shows.
    WriteFile(ConfPath(), "{\"general_setting\":{\"HTTPPort\":" + std::to_string(http) +
                              ",\"SSLPort\":" + std::to_string(https) +
                              ",\"EnableSSL\":false,\"RedirectHTTPToHTTPS\":false,"
                              "\"realmName\":\"Test Realm\"},"
                              "\"log_setting\":{\"level\":\"warn\"},\"accounts\":[\"a\",\"b\"]}\n");
    WriteFile(ServicePath(), ServiceFileText(std::to_string(http), std::to_string(https)));
  }

  void TearDown() override {
    EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "stop"));
    EXPECT_FALSE(DaemonRunning(root));
  }

  // The section lines as the package ships them, the HTTP one written with blanks and quotes.
  static std::string ServiceFileText(const std::string& httpText, const std::string& httpsText) {
    return "; Services of the Lumidex package.\n"
           "[lumidex]\n"
           "title=\"Lumidex CardDAV server (HTTP)\"\n"
           "dst.ports = \"" +
           httpText +
           "/tcp\"\n"
           "\n"
           "[lumidex_ssl]\n"
           "title=\"Lumidex CardDAV server (HTTPS)\"\n"
           "dst.ports=\"" +
           httpsText + "/tcp\"\n";
  }

  std::string ConfPath() const { return root.Path(lumidex::kJsonConfPath); }
  std::string ServicePath() const { return root.Path(lumidex::kServiceFile); }
  std::string PlistPath() const { return root.Path(lumidex::kPlistPath); }
  std::string RulesPath() const { return root.Path(lumidex::kFirewallRulesPath); }
  std::string ErrorLogText() const { return ReadFile(root.Path(lumidex::kErrorLogPath)); }

  Snapshot Take() const {
    return Snapshot{ReadFile(ServicePath()), ReadFile(ConfPath()),    FileExists(PlistPath()),
                    ReadFile(PlistPath()),   FileExists(RulesPath()), ReadFile(RulesPath()),
                    DaemonPid(root)};
  }

  // Brings the daemon up with the stored settings, as the package's start would.
  void StartDaemon() {
    ASSERT_TRUE(RunTool(root, "orva_calendar_conf_dump.py", "--dump", ConfPath().c_str(),
                        PlistPath().c_str()));
    ASSERT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "start"));
    ASSERT_NE("", HttpGet(http));
  }

  // The reply is the error `code` with `message`, and the error log got the same line.
  void ExpectLoggedError(const ORVA::APIResponse& response, int code, const std::string& message) {
    EXPECT_EQ(1, response.Calls());
    EXPECT_FALSE(response.IsSuccess());
    EXPECT_EQ(code, response.ErrorCode());
    EXPECT_EQ(Json::Value(message), response.Data());
    EXPECT_NE(std::string::npos, ErrorLogText().find("webapi-ContactAndCalendar:line "));
    EXPECT_NE(std::string::npos, ErrorLogText().find(" " + message + "\n")) << ErrorLogText();
  }

  Json::Value StoredSection() const { return ParseJson(ReadFile(ConfPath()))["general_setting"]; }

  TempRoot root;
  int http = 0;
  int https = 0;
};

TEST_F(ServerSettings, GetShowsTheStoredSettingsWithoutTheRealmName) {
  const std::string before = ReadFile(ConfPath());
  ORVA::APIResponse response = Call("get", Json::Value(Json::objectValue));
  ASSERT_TRUE(response.IsSuccess());
  EXPECT_EQ(1, response.Calls());
  Json::Value expected(Json::objectValue);
  expected["HTTPPort"] = http;
  expected["SSLPort"] = https;
  expected["EnableSSL"] = false;
  expected["RedirectHTTPToHTTPS"] = false;
  EXPECT_EQ(expected, response.Data()["common"]);
  EXPECT_EQ(1u, response.Data().size());
  EXPECT_EQ(before, ReadFile(ConfPath()));
}

TEST_F(ServerSettings, GetWithoutAStoredSectionAnswersNull) {
  WriteFile(ConfPath(), "{\"log_setting\":{}}");
  ORVA::APIResponse response = Call("get", Json::Value(Json::objectValue));
  ASSERT_TRUE(response.IsSuccess());
  EXPECT_TRUE(response.Data().isMember("common"));
  EXPECT_TRUE(response.Data()["common"].isNull());
}

TEST_F(ServerSettings, GetOfAMissingOrDamagedFileAnswers1000) {
  WriteFile(ConfPath(), "{\"general_setting\": {\"HTTPPort\": 80");
  ExpectLoggedError(Call("get", Json::Value(Json::objectValue)), 1000, "Json conf parse error");
  fs::remove(ConfPath());
  ExpectLoggedError(Call("get", Json::Value(Json::objectValue)), 1000, "Json conf parse error");
}

TEST_F(ServerSettings, RepeatingTheStoredValuesRewritesAndRestartsButLeavesPortsAlone) {
  StartDaemon();
  const Snapshot before = Take();
  const ino_t serviceInode = Inode(ServicePath());
  ORVA::APIResponse response = Call("set", SetParams(http, https, false, false));
  ASSERT_TRUE(response.IsSuccess()) << response.ToJson();
  const Snapshot after = Take();

  EXPECT_EQ(before.serviceFile, after.serviceFile);
  EXPECT_EQ(serviceInode, Inode(ServicePath()));  // not even rewritten with the same bytes
  EXPECT_FALSE(after.rulesExist);
  EXPECT_NE(before.conf, after.conf);
  EXPECT_NE(std::string::npos, after.conf.find("\n\t\"general_setting\" : \n\t{\n\t\t"));
  EXPECT_NE(before.daemonPid, after.daemonPid);
  EXPECT_NE(std::string::npos, HttpGet(http).find("http port " + std::to_string(http)));
  EXPECT_TRUE(fs::last_write_time(PlistPath()) >= fs::last_write_time(ConfPath()));

  // The reply is the section as read back, realm name included.
  Json::Value common = response.Data()["common"];
  EXPECT_EQ(Json::Value("Test Realm"), common["realmName"]);
  EXPECT_EQ(Json::Value(http), common["HTTPPort"]);
  EXPECT_EQ(StoredSection(), common);
}

TEST_F(ServerSettings, WrittenFileKeepsTheOtherSettingsAndStoresTypedValues) {
  // Ports stored as text and a flag as a number: the rewritten section holds integers and booleans.
  WriteFile(ConfPath(), "// settings\n{\"general_setting\":{\"HTTPPort\":\"" +
                            std::to_string(http) + "\",\"SSLPort\":" + std::to_string(https) +
                            ",\"EnableSSL\":0,\"realmName\":\"Test Realm\"},"
                            "\"log_setting\":{\"level\":\"warn\"},\"accounts\":[\"a\",\"b\"]}");
  ASSERT_TRUE(Call("set", SetParams(http, https, true, false)).IsSuccess());
  Json::Value conf = ParseJson(ReadFile(ConfPath()));
  EXPECT_EQ(ParseJson("{\"level\":\"warn\"}"), conf["log_setting"]);
  EXPECT_EQ(ParseJson("[\"a\",\"b\"]"), conf["accounts"]);
  Json::Value section = conf["general_setting"];
  EXPECT_TRUE(section["HTTPPort"].isInt());
  EXPECT_TRUE(section["SSLPort"].isInt());
  EXPECT_TRUE(section["EnableSSL"].isBool());
  EXPECT_TRUE(section["RedirectHTTPToHTTPS"].isBool());
  EXPECT_EQ(Json::Value("Test Realm"), section["realmName"]);
  EXPECT_EQ(5u, section.size());
  // The old text "8008" equals the new port: the service definition stays as it was.
  EXPECT_FALSE(FileExists(RulesPath()));

  ORVA::APIResponse get = Call("get", Json::Value(Json::objectValue));
  ASSERT_TRUE(get.IsSuccess());
  EXPECT_EQ(Json::Value(true), get.Data()["common"]["EnableSSL"]);
  EXPECT_FALSE(get.Data()["common"].isMember("realmName"));
}

TEST_F(ServerSettings, ChangingOnlyTheHttpsPortTouchesOnlyTheSslSection) {
  const int newHttps = FreePort();
  const std::string before = ReadFile(ServicePath());
  ASSERT_TRUE(Call("set", SetParams(http, newHttps, true, false)).IsSuccess());

  std::string expected = before;
  const std::string oldLine = "dst.ports=\"" + std::to_string(https) + "/tcp\"";
  expected.replace(expected.find(oldLine), oldLine.size(),
                   "dst.ports=" + std::to_string(newHttps) + "/tcp");
  EXPECT_EQ(expected, ReadFile(ServicePath()));

  const std::string rules = ReadFile(RulesPath());
  EXPECT_NE(std::string::npos,
            rules.find("allow tcp " + std::to_string(newHttps) + " lumidex_ssl\n"));
  EXPECT_NE(std::string::npos, rules.find("allow tcp " + std::to_string(http) + " lumidex\n"));
  EXPECT_EQ(std::string::npos, rules.find(" " + std::to_string(https) + " "));
  EXPECT_NE(std::string::npos, HttpsGet(newHttps).find("https port " + std::to_string(newHttps)));
}

TEST_F(ServerSettings, ANewHttpPortMakesTheDaemonAnswerThere) {
  StartDaemon();
  const int newHttp = FreePort();
  ORVA::APIResponse response = Call("set", SetParams(newHttp, https, true, false));
  ASSERT_TRUE(response.IsSuccess()) << response.ToJson();
  EXPECT_EQ("", HttpGet(http));
  EXPECT_NE(std::string::npos,
            HttpGet(newHttp).find("lumidex caldavd: http port " + std::to_string(newHttp)));
  EXPECT_NE(std::string::npos, HttpsGet(https).find("https port " + std::to_string(https)));
  EXPECT_NE(std::string::npos, ReadFile(ServicePath()).find(std::to_string(newHttp) + "/tcp"));
  EXPECT_NE(std::string::npos,
            ReadFile(RulesPath()).find("allow tcp " + std::to_string(newHttp) + " lumidex\n"));

  // Redirection on: plain HTTP now sends the browser to the HTTPS port.
  ASSERT_TRUE(Call("set", SetParams(newHttp, https, true, true)).IsSuccess());
  const std::string redirect = HttpGet(newHttp);
  EXPECT_EQ(0u, redirect.find("HTTP/1.0 301")) << redirect;
  EXPECT_NE(std::string::npos,
            redirect.find("Location: https://127.0.0.1:" + std::to_string(https) + "/probe"));

  ORVA::APIResponse get = Call("get", Json::Value(Json::objectValue));
  EXPECT_EQ(Json::Value(newHttp), get.Data()["common"]["HTTPPort"]);
  EXPECT_EQ(Json::Value(true), get.Data()["common"]["RedirectHTTPToHTTPS"]);
}

TEST_F(ServerSettings, ConflictingPortsAreRefusedAndNothingChanges) {
  const int taken = FreePort();
  WriteFile(root.Path(lumidex::kServicesDir) + "/other.sc",
            "[other]\ndst.ports=\"" + std::to_string(taken) + "/tcp\"\n");
  const Snapshot before = Take();
  struct Case {
    Json::Value httpPort, httpsPort;
    int code;
    const char* message;
  } cases[] = {
      {taken, https, 1002, "HTTP port conflict"},  // another package's service
      {5000, https, 1002, "HTTP port conflict"},   // the appliance's own administration
      {22, https, 1002, "HTTP port conflict"},     // reserved by the appliance
      {0, https, 1002, "HTTP port conflict"},      // outside 1..65535
      {65536, https, 1002, "HTTP port conflict"},  //
      {-1, https, 1002, "HTTP port conflict"},     //
      {https, http, 1002, "HTTP port conflict"},   // held by the HTTPS service
      {http, taken, 1003, "HTTPS port conflict"},  // another package's service
      {http, 443, 1003, "HTTPS port conflict"},    // the appliance's web server
      {http, 70000, 1003, "HTTPS port conflict"},  // outside 1..65535
      {http, http, 1003, "HTTPS port conflict"},   // one port for both
      {taken + 1, taken + 1, 1003, "HTTPS port conflict"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.httpPort.toStyledString() + c.httpsPort.toStyledString());
    ExpectLoggedError(Call("set", SetParams(c.httpPort, c.httpsPort, true, true)), c.code,
                      c.message);
    EXPECT_EQ(before, Take());
  }
  EXPECT_FALSE(DaemonRunning(root));
}

TEST_F(ServerSettings, ParametersOfTheWrongTypeAreRefusedAndNothingChanges) {
  const Snapshot before = Take();
  struct Case {
    Json::Value params;
    int code;
    const char* message;
  } cases[] = {
      {SetParams(http, https, "true", false), 900, "Request lost parameters"},
      {SetParams(http, https, false, 1), 900, "Request lost parameters"},
      {SetParams(http, https, Json::Value(), false), 900, "Request lost parameters"},
      {SetParams("80a", https, false, false), 1002, "HTTP port conflict"},
      {SetParams(" 80", https, false, false), 1002, "HTTP port conflict"},
      {SetParams("", https, false, false), 1002, "HTTP port conflict"},
      {SetParams(8008.5, https, false, false), 1002, "HTTP port conflict"},
      {SetParams(Json::Value(Json::arrayValue), https, false, false), 1002, "HTTP port conflict"},
      {SetParams(http, true, false, false), 1003, "HTTPS port conflict"},
      {SetParams(http, Json::Value(), false, false), 1003, "HTTPS port conflict"},
      {SetParams(http, 1e12, false, false), 1003, "HTTPS port conflict"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.toStyledString());
    ExpectLoggedError(Call("set", c.params), c.code, c.message);
    EXPECT_EQ(before, Take());
  }
}

TEST_F(ServerSettings, APortSentAsDecimalTextIsStoredAsAnInteger) {
  ORVA::APIResponse response =
      Call("set", SetParams(std::to_string(http), "0" + std::to_string(https), false, false));
  ASSERT_TRUE(response.IsSuccess()) << response.ToJson();
  EXPECT_EQ(Json::Value(http), StoredSection()["HTTPPort"]);
  EXPECT_EQ(Json::Value(https), StoredSection()["SSLPort"]);
  // Same ports as stored, whatever their spelling: the service definition was left alone.
  EXPECT_FALSE(FileExists(RulesPath()));
}

TEST_F(ServerSettings, AMissingParameterAnswers900AndNothingChanges) {
  const Snapshot before = Take();
  for (const char* missing : {"EnableSSL", "RedirectHTTPToHTTPS", "HTTPPort", "SSLPort"}) {
    SCOPED_TRACE(missing);
    Json::Value params = SetParams(http + 1, https + 1, true, true);
    params.removeMember(missing);
    ExpectLoggedError(Call("set", params), 900, "Request lost parameters");
    EXPECT_EQ(before, Take());
  }
}

TEST_F(ServerSettings, AnUnreadableConfigurationAnswers1000AndNothingChanges) {
  WriteFile(ConfPath(), "{\"general_setting\": [1, 2");
  Snapshot before = Take();
  ExpectLoggedError(Call("set", SetParams(FreePort(), https, false, false)), 1000,
                    "Json conf parse error");
  EXPECT_EQ(before, Take());

  WriteFile(ConfPath(), "[\"not an object\"]");
  before = Take();
  ExpectLoggedError(Call("set", SetParams(FreePort(), https, false, false)), 1000,
                    "Json conf parse error");
  EXPECT_EQ(before, Take());
}

TEST_F(ServerSettings, AnUnwritableServiceFileAnswers1004BeforeAnythingElse) {
  // A folder where the file should be: the writer cannot replace it.
  fs::remove(ServicePath());
  fs::create_directory(ServicePath());
  const Snapshot before = Take();
  ExpectLoggedError(Call("set", SetParams(FreePort(), https, false, false)), 1004,
                    "Update port file failed");
  EXPECT_EQ(before, Take());
  ExpectLoggedError(Call("set", SetParams(http, FreePort(), false, false)), 1004,
                    "Update port file failed");
  EXPECT_EQ(before, Take());
  EXPECT_TRUE(fs::is_directory(ServicePath()));
}

TEST_F(ServerSettings, AFailedFirewallReloadAnswers1005AfterTheServiceFileChanged) {
  fs::create_directories(RulesPath());  // the rule set cannot be replaced
  const Snapshot before = Take();
  const int newHttp = FreePort();
  ExpectLoggedError(Call("set", SetParams(newHttp, https, false, false)), 1005,
                    "Fail to hup firewall rules");
  const Snapshot after = Take();
  std::string expected = ServiceFileText(std::to_string(http), std::to_string(https));
  const std::string oldLine = "dst.ports = \"" + std::to_string(http) + "/tcp\"";
  expected.replace(expected.find(oldLine), oldLine.size(),
                   "dst.ports=" + std::to_string(newHttp) + "/tcp");
  EXPECT_EQ(expected, after.serviceFile);
  EXPECT_EQ(before.conf, after.conf);
  EXPECT_FALSE(after.plistExists);
  EXPECT_FALSE(DaemonRunning(root));
}

TEST_F(ServerSettings, AFailedConversionAnswers1006AfterTheJsonFileWasWritten) {
  StartDaemon();
  const std::string pid = DaemonPid(root);
  fs::remove(PlistPath());
  fs::create_directory(PlistPath());  // the script cannot put its file there
  ExpectLoggedError(Call("set", SetParams(http, https, true, false)), 1006,
                    "Fail to dump json conf into xml conf");
  EXPECT_EQ(Json::Value(true), StoredSection()["EnableSSL"]);
  EXPECT_TRUE(fs::is_directory(PlistPath()));
  // No restart: the daemon that ran before still runs, with its old settings.
  EXPECT_EQ(pid, DaemonPid(root));
  EXPECT_NE(std::string::npos, HttpGet(http).find("http port"));
}

TEST_F(ServerSettings, AFailedRestartAnswers1007AfterTheDaemonConfigurationWasWritten) {
  StartDaemon();
  const int newHttp = FreePort();
  PortBlocker blocker(newHttp);  // another program holds the new port
  ASSERT_TRUE(blocker.Ok());
  ExpectLoggedError(Call("set", SetParams(newHttp, https, false, false)), 1007,
                    "Fail to restart calendar server");
  EXPECT_EQ(Json::Value(newHttp), StoredSection()["HTTPPort"]);
  EXPECT_NE(std::string::npos,
            ReadFile(PlistPath()).find("<integer>" + std::to_string(newHttp) + "</integer>"));
  EXPECT_FALSE(DaemonRunning(root));
  EXPECT_EQ("", HttpGet(http));
}

TEST_F(ServerSettings, AConfigurationDamagedDuringTheRestartAnswers1000AfterEverything) {
  const std::string script = PackagePath(root, "tools/calendarserver_start_stop.sh");
  fs::rename(script, script + ".real");
  WriteScript(script, "\"$0.real\" \"$@\" || exit 1\necho '{broken' > \"" + ConfPath() + "\"\n");
  const int newHttp = FreePort();
  ExpectLoggedError(Call("set", SetParams(newHttp, https, false, false)), 1000,
                    "Json conf parse error");
  EXPECT_NE(std::string::npos, HttpGet(newHttp).find("http port " + std::to_string(newHttp)));
  EXPECT_TRUE(FileExists(RulesPath()));
}

// Runs `params` as a "set" in a child process and returns the reply's code (0 for success).
// With `unprivileged`, the child drops root first, so that folders without write permission
// stop it.
pid_t SetInChild(const Json::Value& params, bool unprivileged, int* replyPipe) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) {
    close(fds[1]);
    *replyPipe = fds[0];
    return pid;
  }
  close(fds[0]);
  if (unprivileged && geteuid() == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
  }
  ORVA::APIResponse response = Call("set", params);
  const std::string code = std::to_string(response.IsSuccess() ? 0 : response.ErrorCode());
  if (write(fds[1], code.data(), code.size()) < 0) _exit(98);
  _exit(0);
}

int ChildReply(pid_t pid, int replyPipe) {
  std::string text;
  char buffer[32];
  for (ssize_t n; (n = read(replyPipe, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(replyPipe);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) return -1;
  return std::stoi(text);
}

TEST_F(ServerSettings, AFailedWriteOfTheJsonFileAnswers1001AfterServiceFileAndFirewall) {
  // The request runs without root; only the JSON file's folder refuses it.
  fs::permissions(root.Dir(), fs::perms(0755));
  fs::permissions(root.Path(lumidex::kServicesDir), fs::perms(0777));
  fs::create_directories(fs::path(RulesPath()).parent_path());
  fs::permissions(fs::path(RulesPath()).parent_path(), fs::perms(0777));
  for (const char* path : {lumidex::kErrorLogPath, lumidex::kSettingsLockPath}) {
    WriteFile(root.Path(path), "");
    fs::permissions(root.Path(path), fs::perms(0666));
  }
  fs::permissions(ServicePath(), fs::perms(0666));
  fs::permissions(fs::path(ConfPath()).parent_path(), fs::perms(0555));
  const std::string confBefore = ReadFile(ConfPath());
  const int newHttp = FreePort();

  int replyPipe = -1;
  pid_t child = SetInChild(SetParams(newHttp, https, false, false), true, &replyPipe);
  ASSERT_GT(child, 0);
  EXPECT_EQ(1001, ChildReply(child, replyPipe));
  EXPECT_NE(std::string::npos, ErrorLogText().find(" Json conf dump error\n"));
  EXPECT_EQ(confBefore, ReadFile(ConfPath()));
  EXPECT_NE(std::string::npos, ReadFile(ServicePath()).find(std::to_string(newHttp) + "/tcp"));
  EXPECT_NE(std::string::npos, ReadFile(RulesPath()).find(" " + std::to_string(newHttp) + " "));
  EXPECT_FALSE(FileExists(PlistPath()));
  EXPECT_FALSE(DaemonRunning(root));
  fs::permissions(fs::path(ConfPath()).parent_path(), fs::perms(0755));
}

TEST_F(ServerSettings, ASetWaitsForTheSettingsLockAndTheDaemonDoesNotKeepIt) {
  const std::string lockPath = root.Path(lumidex::kSettingsLockPath);
  int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(0, flock(lock, LOCK_EX));
  const std::string confBefore = ReadFile(ConfPath());
  const int newHttp = FreePort();

  int replyPipe = -1;
  pid_t child = SetInChild(SetParams(newHttp, https, false, false), false, &replyPipe);
  ASSERT_GT(child, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  int status = 0;
  EXPECT_EQ(0, waitpid(child, &status, WNOHANG));  // still waiting
  EXPECT_EQ(confBefore, ReadFile(ConfPath()));
  EXPECT_EQ(ServiceFileText(std::to_string(http), std::to_string(https)), ReadFile(ServicePath()));

  flock(lock, LOCK_UN);
  EXPECT_EQ(0, ChildReply(child, replyPipe));
  EXPECT_NE(std::string::npos, HttpGet(newHttp).find("http port"));
  // The restarted daemon runs on, yet the lock is free.
  EXPECT_EQ(0, flock(lock, LOCK_EX | LOCK_NB));
  close(lock);
}

TEST_F(ServerSettings, TwoConcurrentSetsBothCompleteAndLeaveOneConsistentState) {
  const int ports[2][2] = {{FreePort(), FreePort()}, {FreePort(), FreePort()}};
  pid_t children[2];
  int pipes[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = SetInChild(SetParams(ports[i][0], ports[i][1], true, i == 1), false, &pipes[i]);
    ASSERT_GT(children[i], 0);
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(0, ChildReply(children[i], pipes[i]));

  Json::Value section = StoredSection();
  ASSERT_TRUE(section.isObject());
  const int last = section["HTTPPort"] == Json::Value(ports[0][0]) ? 0 : 1;
  const std::string h = std::to_string(ports[last][0]);
  const std::string s = std::to_string(ports[last][1]);
  EXPECT_EQ(Json::Value(ports[last][1]), section["SSLPort"]);
  EXPECT_EQ(Json::Value(last == 1), section["RedirectHTTPToHTTPS"]);
  EXPECT_EQ(Json::Value("Test Realm"), section["realmName"]);
  // Service definition, firewall, daemon configuration and daemon all follow the same request.
  const std::string service = ReadFile(ServicePath());
  EXPECT_NE(std::string::npos, service.find("dst.ports=" + h + "/tcp"));
  EXPECT_NE(std::string::npos, service.find("dst.ports=" + s + "/tcp"));
  EXPECT_NE(std::string::npos, ReadFile(RulesPath()).find(" " + h + " lumidex\n"));
  EXPECT_NE(std::string::npos, ReadFile(PlistPath()).find("<integer>" + h + "</integer>"));
  EXPECT_NE(std::string::npos, HttpsGet(ports[last][1]).find("https port " + s));
  const std::string other = std::to_string(ports[1 - last][0]);
  EXPECT_EQ(std::string::npos, service.find(other));
  EXPECT_EQ("", HttpGet(ports[1 - last][0]));
}

}  // namespace
