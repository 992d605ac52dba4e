// The pieces a settings change relies on outside the module: the program runner, the section
// writer, the port-conflict check, the firewall reload, the conversion script and the daemon's
// start/stop script.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "lumidex_paths.h"
#include "orvacore.h"
#include "orvafirewall.h"
#include "settings_env.h"
#include "webutils.h"

using namespace testenv;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// ---- OLIBCExec ----

class ProgramRunner : public ::testing::Test {
 protected:
  std::string Out() const { return root.Path("/out.txt"); }
  // A script that writes its argument count and each argument on a line of its own.
  std::string ArgumentEcho() {
    return WriteScript(
        root.Path("/echo.sh"),
        "{ echo $#; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > \"" + Out() + "\"\n");
  }
  TempRoot root;
};

TEST_F(ProgramRunner, EachArgumentReachesTheProgramUnchangedWithoutAShell) {
  const std::string marker = root.Path("/x");
  const std::string hostile = "; touch " + marker;
  const std::string substitution = "$(touch " + marker + ")";
  ASSERT_EQ(0,
            OLIBCExec(ArgumentEcho().c_str(), hostile.c_str(), substitution.c_str(), "a  b", "*"));
  EXPECT_EQ((std::vector<std::string>{"4", hostile, substitution, "a  b", "*"}),
            Lines(ReadFile(Out())));
  EXPECT_FALSE(FileExists(marker));
}

TEST_F(ProgramRunner, NullArgumentsAreLeftOut) {
  ASSERT_EQ(0, OLIBCExec(ArgumentEcho().c_str(), "first", nullptr, "third", nullptr));
  EXPECT_EQ((std::vector<std::string>{"2", "first", "third"}), Lines(ReadFile(Out())));
  ASSERT_EQ(0, OLIBCExec(ArgumentEcho().c_str(), nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((std::vector<std::string>{"0"}), Lines(ReadFile(Out())));
}

TEST_F(ProgramRunner, FailureToStartOrNonZeroExitIsNegative) {
  EXPECT_LT(OLIBCExec(root.Path("/missing").c_str(), nullptr, nullptr, nullptr, nullptr), 0);
  WriteFile(root.Path("/not-executable"), "#!/bin/sh\nexit 0\n");
  EXPECT_LT(OLIBCExec(root.Path("/not-executable").c_str(), nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_LT(OLIBCExec(WriteScript(root.Path("/fails.sh"), "exit 3\n").c_str(), nullptr, nullptr,
                      nullptr, nullptr),
            0);
  EXPECT_LT(OLIBCExec(WriteScript(root.Path("/killed.sh"), "kill -9 $$\n").c_str(), nullptr,
                      nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(0, OLIBCExec(WriteScript(root.Path("/ok.sh"), "exit 0\n").c_str(), nullptr, nullptr,
                         nullptr, nullptr));
}

TEST_F(ProgramRunner, TheProgramWritesToStandardErrorNeverToTheCallersOutput) {
  // In a web request the caller's standard output is the reply.
  const std::string script = WriteScript(root.Path("/talk.sh"), "echo to-stdout\n");
  fflush(nullptr);
  const int savedOut = dup(STDOUT_FILENO);
  const int savedErr = dup(STDERR_FILENO);
  const int out = open(root.Path("/fd1").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(root.Path("/fd2").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  const int rc = OLIBCExec(script.c_str(), nullptr, nullptr, nullptr, nullptr);
  dup2(savedOut, STDOUT_FILENO);
  dup2(savedErr, STDERR_FILENO);
  for (int fd : {savedOut, savedErr, out, err}) close(fd);
  EXPECT_EQ(0, rc);
  EXPECT_EQ("", ReadFile(root.Path("/fd1")));
  EXPECT_EQ("to-stdout\n", ReadFile(root.Path("/fd2")));
}

// ---- OLIBCFileSetSectionValue ----

class SectionWriter : public ::testing::Test {
 protected:
  std::string Dir() const { return root.Path("/defs"); }
  std::string File() const { return Dir() + "/Pkg.sc"; }
  void SetUp() override { fs::create_directories(Dir()); }
  TempRoot root;
};

const char kDefinitions[] =
    "; comment at the top\n"
    "# another comment\n"
    "\n"
    "[other]\n"
    "dst.ports=\"80/tcp\"\n"
    "  title = \"Other, indented\"   \n"
    "\n"
    "[lumidex]\n"
    "title=\"Lumidex\"\n"
    "dst.ports.extra=1\n"
    "dst.ports = \"8008/tcp\"\n"
    "after=kept\n"
    "[lumidex_ssl]\n"
    "dst.ports=\"8443/tcp\"";

TEST_F(SectionWriter, OnlyTheKeysLineChangesInItsSection) {
  WriteFile(File(), kDefinitions);
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst.ports", "9000/tcp"));
  std::string expected = kDefinitions;
  const std::string line = "dst.ports = \"8008/tcp\"";
  expected.replace(expected.find(line), line.size(), "dst.ports=9000/tcp");
  EXPECT_EQ(expected, ReadFile(File()));
}

TEST_F(SectionWriter, TheLastLineOfTheFileCanBeTheOneReplaced) {
  WriteFile(File(), kDefinitions);
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "lumidex_ssl", "dst.ports", "9443/tcp"));
  std::string expected = kDefinitions;
  expected.replace(expected.rfind("dst.ports"), std::string::npos, "dst.ports=9443/tcp\n");
  EXPECT_EQ(expected, ReadFile(File()));
}

TEST_F(SectionWriter, AMissingKeyOrSectionIsAdded) {
  WriteFile(File(), "[a]\nx=1\n\n[b]\ny=2\n");
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "a", "dst.ports", "1/tcp"));
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "c", "dst.ports", "3/tcp"));
  const std::string text = ReadFile(File());
  EXPECT_EQ(0u, text.find("[a]\nx=1\n"));
  EXPECT_NE(std::string::npos, text.find("[b]\ny=2\n"));
  const std::size_t a = text.find("dst.ports=1/tcp\n");
  ASSERT_NE(std::string::npos, a);
  EXPECT_LT(a, text.find("[b]"));
  EXPECT_NE(std::string::npos, text.find("[c]\ndst.ports=3/tcp\n"));
  EXPECT_GT(text.find("[c]"), text.find("y=2"));
}

TEST_F(SectionWriter, AMissingFileIsCreated) {
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst.ports", "8008/tcp"));
  EXPECT_EQ("[lumidex]\ndst.ports=8008/tcp\n", ReadFile(File()));
}

TEST_F(SectionWriter, TheFileKeepsItsModeAndNoWorkingFileIsLeft) {
  WriteFile(File(), kDefinitions);
  chmod(File().c_str(), 0640);
  ASSERT_EQ(0, OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst.ports", "1/tcp"));
  struct stat st;
  ASSERT_EQ(0, stat(File().c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ((std::vector<std::string>{"Pkg.sc"}), FolderEntries(Dir()));
}

TEST_F(SectionWriter, WhatCannotBeWrittenIsNegativeAndLeftAsItWas) {
  fs::create_directory(File());
  fs::create_directory(File() + "/inside");
  EXPECT_LT(OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst.ports", "1/tcp"), 0);
  EXPECT_TRUE(fs::is_directory(File() + "/inside"));
  EXPECT_LT(OLIBCFileSetSectionValue((Dir() + "/missing/Pkg.sc").c_str(), "s", "k", "v"), 0);
  EXPECT_EQ((std::vector<std::string>{"Pkg.sc"}), FolderEntries(Dir()));
}

TEST_F(SectionWriter, TextsThatWouldAddLinesAreRefused) {
  WriteFile(File(), kDefinitions);
  EXPECT_LT(OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst.ports", "1/tcp\n[evil]"), 0);
  EXPECT_LT(OLIBCFileSetSectionValue(File().c_str(), "lu]midex", "dst.ports", "1/tcp"), 0);
  EXPECT_LT(OLIBCFileSetSectionValue(File().c_str(), "lumidex", "dst=ports", "1/tcp"), 0);
  EXPECT_LT(OLIBCFileSetSectionValue(File().c_str(), "", "dst.ports", "1/tcp"), 0);
  EXPECT_EQ(kDefinitions, ReadFile(File()));
}

// ---- WebUtils::IsPortConflict ----

class PortConflict : public ::testing::Test {
 protected:
  void SetUp() override { InstallSettingsPackage(root); }
  void Define(const std::string& name, const std::string& text) {
    WriteFile(root.Path(lumidex::kServicesDir) + "/" + name, text);
  }
  TempRoot root;
};

TEST_F(PortConflict, PortsOutsideTheValidRangeAlwaysConflict) {
  for (int port : {0, -1, 65536, 100000}) {
    EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", port, port)) << port;
  }
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 65535, 65535));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 1, 1));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 9000, 8999));
}

TEST_F(PortConflict, TheAppliancesReservedPortsConflict) {
  for (int port : {22, 53, 80, 443, 137, 445, 2049, 5000, 5001, 5006}) {
    EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", port, port)) << port;
  }
}

TEST_F(PortConflict, TheServicesOwnPortNeverConflictsButTheOtherServicesDoes) {
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 8008, 8008));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex_ssl", 8443, 8443));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 8443, 8443));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex_ssl", 8008, 8008));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 8009, 8009));
}

TEST_F(PortConflict, ClaimsInAnyDefinitionFileCountWithRangesAndLists) {
  Define("other.sc", "[media]\ndst.ports=\"6000:6010,6020/tcp\"\n[voice]\ndst.ports=7000/udp\n");
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 6005, 6005));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 6020, 6020));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 6011, 6011));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 5990, 6000));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 7000, 7000));
  EXPECT_FALSE(WebUtils::IsPortConflict("media", 6005, 6005));
}

TEST_F(PortConflict, FilesThatAreNotDefinitionsClaimNothing) {
  Define("notes.txt", "[x]\ndst.ports=6100/tcp\n");
  Define("Other.sc~", "[y]\ndst.ports=6101/tcp\n");
  Define("broken.sc", "[z]\ndst.ports=http/tcp\n[w]\ndst.ports=6102/tcp\n");
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 6100, 6100));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 6101, 6101));
  EXPECT_TRUE(WebUtils::IsPortConflict("lumidex", 6102, 6102));
  fs::remove_all(root.Path(lumidex::kServicesDir));
  EXPECT_FALSE(WebUtils::IsPortConflict("lumidex", 22, 22));
}

// ---- ORVAFwRuleHup ----

class FirewallReload : public PortConflict {
 protected:
  std::string Rules() const { return ReadFile(root.Path(lumidex::kFirewallRulesPath)); }
};

TEST_F(FirewallReload, TheRuleSetOpensEveryDefinedPort) {
  ASSERT_EQ(0, ORVAFwRuleHup());
  std::vector<std::string> rules = Lines(Rules());
  ASSERT_FALSE(rules.empty());
  EXPECT_EQ('#', rules[0][0]);
  rules.erase(rules.begin());
  // Definition files in name order, sections and ports in file order.
  const std::vector<std::string> expected = {
      "allow tcp 8008 lumidex",    "allow tcp 8443 lumidex_ssl", "allow tcp 22 ssh",
      "allow tcp 53 dns",          "allow udp 53 dns",           "allow tcp 80 http",
      "allow tcp 443 http",        "allow udp 137 netbios",      "allow udp 138 netbios",
      "allow tcp 139 smb",         "allow tcp 445 smb",          "allow tcp 111 nfs",
      "allow tcp 2049 nfs",        "allow udp 111 nfs",          "allow udp 2049 nfs",
      "allow udp 161 snmp",        "allow tcp 873 rsync",        "allow tcp 5000 orva_admin",
      "allow tcp 5001 orva_admin", "allow tcp 5005 orva_webdav", "allow tcp 5006 orva_webdav"};
  EXPECT_EQ(expected, rules);

  const std::string service = root.Path(lumidex::kServiceFile);
  ASSERT_EQ(0, OLIBCFileSetSectionValue(service.c_str(), "lumidex", "dst.ports", "9000:9001/tcp"));
  ASSERT_EQ(0, ORVAFwRuleHup());
  EXPECT_EQ("allow tcp 9000:9001 lumidex", Lines(Rules())[1]);
  EXPECT_EQ(std::string::npos, Rules().find("8008"));
}

TEST_F(FirewallReload, AMalformedDefinitionFailsAndKeepsTheRulesInForce) {
  ASSERT_EQ(0, ORVAFwRuleHup());
  const std::string before = Rules();
  Syslog::Clear();
  Define("broken.sc", "[z]\ndst.ports=\"70000/tcp\"\n");
  EXPECT_LT(ORVAFwRuleHup(), 0);
  EXPECT_EQ(before, Rules());
  EXPECT_EQ(1, Syslog::Count("malformed port list"));
}

TEST_F(FirewallReload, ARuleSetThatCannotBeWrittenFails) {
  fs::create_directories(root.Path(lumidex::kFirewallRulesPath));
  EXPECT_LT(ORVAFwRuleHup(), 0);
  EXPECT_EQ(std::vector<std::string>{"open_ports.rules"},
            FolderEntries(fs::path(root.Path(lumidex::kFirewallRulesPath)).parent_path()));
}

// ---- the conversion script and the daemon's start/stop script ----

class DaemonScripts : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallSettingsPackage(root);
    http = FreePort();
    https = FreePort();
  }
  void TearDown() override {
    EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "stop"));
    EXPECT_FALSE(DaemonRunning(root));
  }
  std::string Conf() const { return root.Path(lumidex::kJsonConfPath); }
  std::string Plist() const { return root.Path(lumidex::kPlistPath); }
  bool Dump() {
    return RunTool(root, "orva_calendar_conf_dump.py", "--dump", Conf().c_str(), Plist().c_str());
  }
  void WriteSection(const std::string& members) {
    WriteFile(Conf(), "{\"other\": {\"kept\": 1}, \"general_setting\": {" + members + "}}");
  }
  std::string Members(bool ssl, bool redirect) const {
    return "\"HTTPPort\": " + std::to_string(http) + ", \"SSLPort\": " + std::to_string(https) +
           ", \"EnableSSL\": " + (ssl ? "true" : "false") +
           ", \"RedirectHTTPToHTTPS\": " + (redirect ? "true" : "false") + ", \"realmName\": \"R\"";
  }
  TempRoot root;
  int http = 0;
  int https = 0;
};

TEST_F(DaemonScripts, TheDumpWritesThePortsAndFlagsAsAPropertyList) {
  WriteSection(Members(true, false));
  ASSERT_TRUE(Dump());
  const std::string plist = ReadFile(Plist());
  EXPECT_EQ(0u, plist.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"));
  EXPECT_NE(std::string::npos, plist.find("<plist version=\"1.0\">\n<dict>\n"));
  EXPECT_NE(std::string::npos, plist.find("\t<key>EnableSSL</key>\n\t<true/>\n"));
  EXPECT_NE(std::string::npos, plist.find("\t<key>RedirectHTTPToHTTPS</key>\n\t<false/>\n"));
  EXPECT_NE(std::string::npos, plist.find("\t<key>HTTPPort</key>\n\t<integer>" +
                                          std::to_string(http) + "</integer>\n"));
  EXPECT_NE(std::string::npos, plist.find("\t<key>SSLPort</key>\n\t<integer>" +
                                          std::to_string(https) + "</integer>\n"));
  EXPECT_EQ(std::string::npos, plist.find("realm"));
  EXPECT_EQ(std::string::npos, plist.find("kept"));
  EXPECT_EQ((std::vector<std::string>{"calendar_server_json.conf", "orva_caldavd.plist"}),
            FolderEntries(fs::path(Plist()).parent_path()));
}

TEST_F(DaemonScripts, BadInputFailsTheDumpAndKeepsTheOldPropertyList) {
  WriteSection(Members(false, false));
  ASSERT_TRUE(Dump());
  const std::string good = ReadFile(Plist());
  const std::string ports = "\"HTTPPort\": 8008, \"SSLPort\": 8443";
  for (const std::string& conf :
       {std::string("{\"general_setting\": {"), std::string("[1]"), std::string("{}"),
        "{\"general_setting\": {" + ports + ", \"EnableSSL\": 1, \"RedirectHTTPToHTTPS\": false}}",
        std::string("{\"general_setting\": {\"HTTPPort\": \"8008\", \"SSLPort\": 8443, "
                    "\"EnableSSL\": false, \"RedirectHTTPToHTTPS\": false}}"),
        std::string("{\"general_setting\": {\"HTTPPort\": 0, \"SSLPort\": 8443, "
                    "\"EnableSSL\": false, \"RedirectHTTPToHTTPS\": false}}"),
        std::string("{\"general_setting\": {\"HTTPPort\": 8443, \"SSLPort\": 8443, "
                    "\"EnableSSL\": false, \"RedirectHTTPToHTTPS\": false}}"),
        "{\"general_setting\": {" + ports + ", \"EnableSSL\": true}}"}) {
    SCOPED_TRACE(conf);
    WriteFile(Conf(), conf);
    EXPECT_FALSE(Dump());
    EXPECT_EQ(good, ReadFile(Plist()));
  }
  EXPECT_FALSE(RunTool(root, "orva_calendar_conf_dump.py", "--dump", Conf().c_str()));
  EXPECT_FALSE(
      RunTool(root, "orva_calendar_conf_dump.py", "--load", Conf().c_str(), Plist().c_str()));
}

TEST_F(DaemonScripts, StartStatusAndStopFollowTheDaemon) {
  WriteSection(Members(true, false));
  ASSERT_TRUE(Dump());
  EXPECT_FALSE(DaemonRunning(root));
  EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "stop"));  // nothing to stop
  ASSERT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "start"));
  EXPECT_TRUE(DaemonRunning(root));
  const std::string pid = DaemonPid(root);
  // Signed out, the daemon names the listener that answered.
  EXPECT_NE(std::string::npos, HttpGet(http).find("http port " + std::to_string(http)));
  EXPECT_NE(std::string::npos, HttpsGet(https).find("https port " + std::to_string(https)));
  // A second start leaves the running daemon alone; a restart replaces it.
  EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "start"));
  EXPECT_EQ(pid, DaemonPid(root));
  EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "restart"));
  EXPECT_NE(pid, DaemonPid(root));
  EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "stop"));
  EXPECT_FALSE(DaemonRunning(root));
  EXPECT_EQ("", HttpGet(http));
  EXPECT_FALSE(RunTool(root, "calendarserver_start_stop.sh", "bogus"));
}

TEST_F(DaemonScripts, WithSslOffOnlyTheHttpPortIsOpen) {
  WriteSection(Members(false, true));
  ASSERT_TRUE(Dump());
  ASSERT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "start"));
  // Redirection needs SSL: without it plain HTTP is served (here: asks to sign in).
  const std::string reply = HttpGet(http);
  EXPECT_EQ(0u, reply.find("HTTP/1.0 401")) << reply;
  EXPECT_NE(std::string::npos, reply.find("http port " + std::to_string(http)));
  EXPECT_EQ("", HttpGet(https));
}

TEST_F(DaemonScripts, ARestartThatCannotStartTheDaemonFails) {
  WriteSection(Members(false, false));
  ASSERT_TRUE(Dump());
  ASSERT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "start"));
  WriteFile(Plist(), "<plist>not a property list");
  EXPECT_FALSE(RunTool(root, "calendarserver_start_stop.sh", "restart"));
  EXPECT_FALSE(DaemonRunning(root));

  ASSERT_TRUE(Dump());
  {
    PortBlocker blocker(http);
    ASSERT_TRUE(blocker.Ok());
    EXPECT_FALSE(RunTool(root, "calendarserver_start_stop.sh", "restart"));
    EXPECT_FALSE(DaemonRunning(root));
  }
  EXPECT_TRUE(RunTool(root, "calendarserver_start_stop.sh", "restart"));
  EXPECT_TRUE(DaemonRunning(root));
}

}  // namespace
