// Sign-in and access rules of the CGI front, over plain HTTP through a real lighttpd running
// entry.cgi and auth.cgi: who may call what, sessions and their cookie, cross-origin refusals,
// slowed and limited failed sign-ins, hostile credentials, and the lumidex_account command.
#include <json/reader.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db_handler.h"
#include "lighttpd.h"
#include "process.h"
#include "records.h"
#include "sessions.h"
#include "settings_env.h"
#include "signin.h"
#include "test_env.h"

using namespace testenv;
namespace fs = std::filesystem;

namespace {

const char kContacts[] = "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts&version=1";
const char kCommon[] = "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Common&version=1";
const char kAuth[] = "/webapi/auth.cgi";
const char kAccounts[] = "/var/packages/Lumidex/target/etc/accounts";
const char kSessions[] = "/var/packages/Lumidex/target/var/db/lumidex_sessions.db";
const char kAdminPassword[] = "Adm1n pass: with colon";
const char kAnnPassword[] = "ann-Pässwort";  // non-ASCII on purpose
const char kBobPassword[] = "bob 'quoted' \"pass\"";

const char kCard[] =
    "{\"name\":{\"family_name\":\"Doe\",\"given_name\":\"Jane\",\"additional_name\":\"\"},"
    "\"company\":{\"org\":\"Acme\",\"title\":\"\"},"
    "\"tel\":[{\"key\":\"TEL\",\"cust_name\":\"TEL\",\"type\":[\"CELL\"],\"data\":\"555 0100\"}],"
    "\"mail\":[],\"note\":\"\"}";

// The front's error code of a reply, or 0 for a success.
int CodeOf(const HttpReply& reply) {
  Json::Value json = ParseJson(reply.body);
  if (json["success"] == Json::Value(true)) return 0;
  return json["error"]["code"].isInt() ? json["error"]["code"].asInt() : -1;
}

// The sessions file as the test reads and changes it behind the front's back.
class SessionsDb {
 public:
  explicit SessionsDb(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
    }
    sqlite3_busy_timeout(_db, 10000);
  }
  ~SessionsDb() { sqlite3_close(_db); }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(_db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << (error ? error : "");
    }
    sqlite3_free(error);
  }
  std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(_db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(_db);
      return values;
    }
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(stmt, 0);
      values.push_back(text ? reinterpret_cast<const char*>(text) : "");
    }
    sqlite3_finalize(stmt);
    return values;
  }

 private:
  sqlite3* _db = nullptr;
};

class AccessTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    AddAccount(root, "admin", kAdminPassword);
    AddAccount(root, "ann", kAnnPassword);
    AddAccount(root, "bob", kBobPassword);
    server = std::make_unique<Lighttpd>(root.Dir());
    ASSERT_TRUE(server->Started()) << server->Log();
    host = "127.0.0.1:" + std::to_string(server->Port());
    own = "http://" + host;
  }

  std::string Basic(const std::string& name, const std::string& password) {
    return AuthorizationHeader(name, password);
  }

  // A request as a browser or curl sends it: with the Host a client names, and `headers`; from
  // 127.0.0.1 unless `from` names another loopback address.
  HttpReply Send(const std::string& method, const std::string& target,
                 std::vector<std::string> headers, const std::string& body = "",
                 const std::string& from = "") {
    headers.push_back("Host: " + host);
    bool typed = false;
    for (const std::string& header : headers)
      typed = typed || header.rfind("Content-Type:", 0) == 0;
    if (!body.empty() && !typed) {
      headers.push_back("Content-Type: application/x-www-form-urlencoded");
    }
    HttpReply reply = HttpRequest(server->Port(), method, target, headers, body, from);
    EXPECT_TRUE(reply.received) << server->Log();
    return reply;
  }

  // Sign-ins at auth.cgi all sent at once from `from`, one per (name, password); their replies.
  std::vector<HttpReply> SignInsAtOnce(
      const std::vector<std::pair<std::string, std::string>>& tries, const std::string& from) {
    std::vector<HttpReply> replies(tries.size());
    std::vector<std::thread> clients;
    for (size_t i = 0; i < tries.size(); ++i) {
      clients.emplace_back([&, i] {
        replies[i] =
            HttpRequest(server->Port(), "POST", kAuth,
                        {"Host: " + host, "Content-Type: application/x-www-form-urlencoded"},
                        "action=login&username=" + UrlEncode(tries[i].first) +
                            "&password=" + UrlEncode(tries[i].second),
                        from);
      });
    }
    for (std::thread& client : clients) client.join();
    return replies;
  }
  // How many of `replies` have HTTP status `status`.
  static int WithStatus(const std::vector<HttpReply>& replies, int status) {
    int n = 0;
    for (const HttpReply& reply : replies) n += reply.status == status;
    return n;
  }

  HttpReply List(const std::string& user, const std::vector<std::string>& headers) {
    return Send("GET", std::string(kContacts) + "&method=list_cards&user=" + UrlEncode(user),
                headers);
  }
  HttpReply AddCardFor(const std::string& user, const std::vector<std::string>& headers) {
    return Send("POST", std::string(kContacts) + "&method=add_card", headers,
                "user=" + UrlEncode(user) + "&card=" + UrlEncode(kCard));
  }

  struct Login {
    HttpReply reply;
    std::string token;
    std::string csrf;
  };
  Login SignIn(const std::string& name, const std::string& password,
               std::vector<std::string> headers = {}) {
    Login login;
    login.reply =
        Send("POST", kAuth, headers,
             "action=login&username=" + UrlEncode(name) + "&password=" + UrlEncode(password));
    std::string cookie = login.reply.Header("Set-Cookie");
    const std::string prefix = "lumidex_session=";
    if (cookie.compare(0, prefix.size(), prefix) == 0) {
      login.token = cookie.substr(prefix.size(), cookie.find(';') - prefix.size());
    }
    Json::Value json = ParseJson(login.reply.body);
    if (json["data"]["csrf"].isString()) login.csrf = json["data"]["csrf"].asString();
    return login;
  }
  static std::string Cookie(const Login& login) {
    return "Cookie: theme=dark; lumidex_session=" + login.token;
  }

  int StoredCards() { return std::stoi(Caldav::Value("SELECT count(*) FROM addressbook_object")); }

  std::string SessionsPath() { return root.Path(kSessions); }

  std::unique_ptr<Lighttpd> server;
  std::string host;
  std::string own;
};

// SHA-256 as hex digits, computed by OpenSSL here to check the front's own hashing.
std::string Sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// ---- no session

TEST_F(AccessTest, WithoutSignInEveryCallIsRefusedAndNoModuleRuns) {
  for (const HttpReply& reply :
       {List("ann", {}), AddCardFor("ann", {}),
        Send("GET", std::string(kCommon) + "&method=get", {}),
        Send("GET", "/webapi/entry.cgi?api=Nothing&version=1&method=x", {})}) {
    EXPECT_EQ(401, reply.status) << reply.raw;
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":108,\"message\":\"Not signed in\"}}",
              reply.body);
    // No dialog in a browser: the pages ask for the password themselves.
    EXPECT_EQ(0, reply.CountHeader("WWW-Authenticate"));
  }
  // The module never ran: it would have provisioned ann and stored the card.
  EXPECT_EQ(0, StoredCards());
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));

  // A large upload without sign-in is refused without being read.
  std::string multipart =
      MultipartBody("b", {{"user", "ann"}}, {{"file", "x.vcf", std::string(8 << 20, 'x')}});
  HttpReply upload = Send("POST", std::string(kContacts) + "&method=import_cards",
                          {"Content-Type: multipart/form-data; boundary=b"}, multipart);
  EXPECT_EQ(401, upload.status);
  EXPECT_EQ(0, StoredCards());
}

TEST_F(AccessTest, BrokenCredentialsAndCookiesGetTheSameCleanRefusal) {
  const std::string longName(5000, 'a');
  for (const std::string& header : std::vector<std::string>{
           "Authorization: Basic !!!!",
           "Authorization: Bearer " + std::string(64, 'a'),
           "Authorization: Basic " + std::string("YWRtaW4="),  // "admin", no colon
           "Authorization: Basic YWRta",                       // cut short
           "Authorization: " + std::string(8000, 'B'),
           "Authorization: basic",
           Basic("admin", "wrong"),
           Basic("admin\r\nX-Injected: 1", kAdminPassword),
           Basic(longName, kAdminPassword),
           Basic("Zoë", "x"),
           Basic("", ""),
           "Cookie: lumidex_session=",
           "Cookie: lumidex_session=zz",
           "Cookie: lumidex_session=" + std::string(64, 'g'),
           "Cookie: lumidex_session=" + std::string(64, 'a'),  // well formed, no such session
           "Cookie: lumidex_session=\"" + std::string(64, 'a') + "\"",
           "Cookie: ;;;=;lumidex_session",
       }) {
    HttpReply reply = List("admin", {header});
    EXPECT_EQ(401, reply.status) << header.substr(0, 80) << "\n" << reply.raw;
    EXPECT_EQ(108, CodeOf(reply)) << header.substr(0, 80);
    EXPECT_EQ(0, reply.CountHeader("X-Injected"));
  }
  EXPECT_EQ("0", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

// ---- who may do what

TEST_F(AccessTest, UsersMayNameOnlyThemselves) {
  EXPECT_EQ(0, CodeOf(List("ann", {Basic("ann", kAnnPassword)})));
  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {Basic("ann", kAnnPassword)})));
  EXPECT_EQ(1, StoredCards());

  HttpReply other = List("bob", {Basic("ann", kAnnPassword)});
  EXPECT_EQ(403, other.status);
  EXPECT_EQ("{\"success\":false,\"error\":{\"code\":109,\"message\":\"Permission denied\"}}",
            other.body);
  EXPECT_EQ(109, CodeOf(AddCardFor("bob", {Basic("ann", kAnnPassword)})));
  EXPECT_EQ(1, StoredCards());
  // No user, a list holding her name, a name differing only in case or by a space.
  for (const char* params :
       {"", "&user=%5B%22ann%22%5D", "&user=Ann", "&user=ann%20", "&user=%22ann"}) {
    HttpReply reply = Send("GET", std::string(kContacts) + "&method=list_cards" + params,
                           {Basic("ann", kAnnPassword)});
    EXPECT_EQ(109, CodeOf(reply)) << params;
  }
  // A "user" in the body replaces the one in the query string; the check sees the same value.
  HttpReply smuggled = Send("POST", std::string(kContacts) + "&method=add_card&user=ann",
                            {Basic("ann", kAnnPassword)}, "user=bob&card=" + UrlEncode(kCard));
  EXPECT_EQ(109, CodeOf(smuggled));
  EXPECT_EQ(1, StoredCards());

  // A name of digits reaches the module as a number; it is still that user's own name.
  AddAccount(root, "4711", "digits");
  EXPECT_EQ(0, CodeOf(List("4711", {Basic("4711", "digits")})));
  EXPECT_EQ(109, CodeOf(List("4712", {Basic("4711", "digits")})));
}

TEST_F(AccessTest, NamesThatReadAsJsonValuesReachExactlyTheirOwnContacts) {
  // Each account stores a card with its own name as the family name, as the pages send it.
  const std::vector<std::string> names = {"null", "1e3", "2.50", "7", "true", "1000"};
  for (const std::string& name : names) {
    AddAccount(root, name, "pw of " + name);
    std::string card = kCard;
    card.replace(card.find("\"Doe\""), 5, "\"" + name + "\"");
    HttpReply added =
        Send("POST", std::string(kContacts) + "&method=add_card", {Basic(name, "pw of " + name)},
             "user=" + UrlEncode(name) + "&card=" + UrlEncode(card));
    EXPECT_EQ(0, CodeOf(added)) << name << ": " << added.body;
  }
  // The family names in an address book, as its owner and admin see it.
  auto familyNames = [&](const std::string& user, const std::string& signIn,
                         const std::string& password) {
    std::vector<std::string> found;
    Json::Value cards = ParseJson(List(user, {Basic(signIn, password)}).body)["data"]["cards"];
    for (const Json::Value& card : cards) found.push_back(card["name"]["family_name"].asString());
    return found;
  };
  for (const std::string& name : names) {
    EXPECT_EQ(std::vector<std::string>{name}, familyNames(name, name, "pw of " + name)) << name;
    EXPECT_EQ(std::vector<std::string>{name}, familyNames(name, "admin", kAdminPassword)) << name;
  }
  // Other spellings of the same JSON values are other users, with none of those cards; a name
  // sent as a JSON string is the name itself, for its owner and for admin alike.
  for (const char* spelling : {"1000.0", "2.5", "007", "\t007", " 7", "1E3", "\"null\" "}) {
    EXPECT_EQ(std::vector<std::string>{}, familyNames(spelling, "admin", kAdminPassword))
        << spelling;
  }
  for (const std::string& name : names) {
    const std::string quoted = "\"" + name + "\"";
    EXPECT_EQ(std::vector<std::string>{name}, familyNames(quoted, name, "pw of " + name)) << name;
    EXPECT_EQ(std::vector<std::string>{name}, familyNames(quoted, "admin", kAdminPassword)) << name;
  }
  // And nobody else may use them.
  EXPECT_EQ(109, CodeOf(List("null", {Basic("7", "pw of 7")})));
  EXPECT_EQ(109, CodeOf(List("\"null\"", {Basic("7", "pw of 7")})));
  EXPECT_EQ(109, CodeOf(List("\t007", {Basic("7", "pw of 7")})));
  EXPECT_EQ(109, CodeOf(List("\"7\" ", {Basic("7", "pw of 7")})));
  EXPECT_EQ(109, CodeOf(List("1000.0", {Basic("1000", "pw of 1000")})));
}

TEST_F(AccessTest, TextsSentAsJsonStringsAreTheTextsTheySpell) {
  // The platform's callers JSON-encode every parameter; scripts send bare text. Both reach the
  // same book, for the check and for the module alike.
  const std::string ann = Basic("ann", kAnnPassword);
  HttpReply added = Send("POST", std::string(kContacts) + "&method=add_card", {ann},
                         "user=" + UrlEncode("\"ann\"") + "&card=" + UrlEncode(kCard));
  ASSERT_EQ(0, CodeOf(added)) << added.body;
  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {ann})));
  auto listed = [&](const std::string& user, const std::string& searchKey,
                    const std::string& credentials) {
    std::string target = std::string(kContacts) + "&method=list_cards&user=" + UrlEncode(user);
    if (!searchKey.empty()) target += "&search_key=" + UrlEncode(searchKey);
    HttpReply reply = Send("GET", target, {credentials});
    return CodeOf(reply) == 0 ? static_cast<int>(ParseJson(reply.body)["data"]["cards"].size())
                              : -CodeOf(reply);
  };
  for (const char* spelling : {"ann", "\"ann\"", "\"\\u0061nn\""}) {
    EXPECT_EQ(2, listed(spelling, "", ann)) << spelling;
    EXPECT_EQ(2, listed(spelling, "", Basic("admin", kAdminPassword))) << spelling;
    EXPECT_EQ(-109, listed(spelling, "", Basic("bob", kBobPassword))) << spelling;
  }
  // Only a whole JSON string is decoded: these name nobody ann may reach.
  for (const char* spelling : {"\"bob\"", "\"ann\" ", "\"ann\"\"\"", "\"ann", "[\"ann\"]"}) {
    EXPECT_EQ(-109, listed(spelling, "", ann)) << spelling;
  }
  EXPECT_EQ(2, listed("ann", "\"doe\"", ann));
  EXPECT_EQ(2, listed("\"ann\"", "doe", ann));
  EXPECT_EQ(0, listed("\"ann\"", "\"nobody\"", ann));
  // No book was made for a name with quotes.
  EXPECT_EQ("1", Caldav::Value("SELECT count(*) FROM addressbook_home"));
}

TEST_F(AccessTest, AdminMayNameAnyoneAndAloneUsesTheSettings) {
  InstallSettingsPackage(root);
  const std::string conf = ReadFile(root.Path(lumidex::kJsonConfPath));

  for (const char* method : {"get",
                             "set&HTTPPort=8111&SSLPort=8443&EnableSSL=false"
                             "&RedirectHTTPToHTTPS=false"}) {
    HttpReply reply =
        Send("GET", std::string(kCommon) + "&method=" + method, {Basic("ann", kAnnPassword)});
    EXPECT_EQ(403, reply.status) << method;
    EXPECT_EQ(109, CodeOf(reply)) << method;
  }
  EXPECT_EQ(conf, ReadFile(root.Path(lumidex::kJsonConfPath)));

  HttpReply settings =
      Send("GET", std::string(kCommon) + "&method=get", {Basic("admin", kAdminPassword)});
  EXPECT_EQ(200, settings.status);
  Json::Value json = ParseJson(settings.body);
  EXPECT_EQ(Json::Value(true), json["success"]) << settings.body;
  EXPECT_TRUE(json["data"]["common"].isMember("HTTPPort")) << settings.body;

  EXPECT_EQ(0, CodeOf(AddCardFor("bob", {Basic("admin", kAdminPassword)})));
  EXPECT_EQ(0, CodeOf(AddCardFor("carol", {Basic("admin", kAdminPassword)})));
  EXPECT_EQ(2, StoredCards());
  HttpReply bobs = List("bob", {Basic("admin", kAdminPassword)});
  ASSERT_EQ(0, CodeOf(bobs));
  EXPECT_EQ(1u, ParseJson(bobs.body)["data"]["cards"].size());
}

TEST_F(AccessTest, CurlWithBasicCredentialsWorks) {
  DBHandler store;
  ASSERT_TRUE(store.SetupUserBasicInfo("ann"));
  const std::string url = own + kContacts + "&method=add_card";
  ProcessResult added = RunProcess({"/usr/bin/curl", "-sS", "-u",
                                    std::string("ann:") + kAnnPassword, url, "--data-urlencode",
                                    "user=ann", "--data-urlencode", std::string("card=") + kCard});
  ASSERT_EQ(0, added.exitCode) << added.err;
  EXPECT_EQ("{\"success\":true,\"data\":null}", added.out);
  EXPECT_EQ(1, StoredCards());
  ProcessResult refused =
      RunProcess({"/usr/bin/curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "-u",
                  "ann:not-her-password", own + kContacts + "&method=list_cards&user=ann"});
  EXPECT_EQ("401", refused.out);
}

// ---- origin and CSRF token

TEST_F(AccessTest, ChangesFromAnotherOriginAreRefused) {
  Login admin = SignIn("admin", kAdminPassword, {"Origin: " + own});
  ASSERT_EQ(0, CodeOf(admin.reply)) << admin.reply.raw;
  const std::string token = "X-CSRF-Token: " + admin.csrf;

  for (const std::vector<std::string>& from : std::vector<std::vector<std::string>>{
           {"Origin: http://evil.example"},
           {"Origin: null"},
           {"Origin: " + own + ".evil.example"},
           {"Origin: https://" + host},
           {"Origin: http://127.0.0.1:1"},
           {"Referer: http://evil.example/page.html"},
           {"Referer: http://" + host + "@evil.example/"},
           {"Origin: " + own, "Sec-Fetch-Site: cross-site"},
           {"Origin: " + own, "Sec-Fetch-Site: same-site"},
       }) {
    std::vector<std::string> withCookie = from;
    withCookie.push_back(Cookie(admin));
    withCookie.push_back(token);
    HttpReply byCookie = AddCardFor("ann", withCookie);
    EXPECT_EQ(403, byCookie.status) << from[0];
    EXPECT_EQ(
        "{\"success\":false,\"error\":{\"code\":110,\"message\":\"Cross-origin request refused\"}}",
        byCookie.body);
    std::vector<std::string> withBasic = from;
    withBasic.push_back(Basic("admin", kAdminPassword));
    EXPECT_EQ(110, CodeOf(AddCardFor("ann", withBasic))) << from[0];
  }
  EXPECT_EQ(0, StoredCards());
  // A settings change and a sign-in are changes too.
  HttpReply set = Send("POST", std::string(kCommon) + "&method=set",
                       {"Origin: http://evil.example", Cookie(admin), token},
                       "HTTPPort=8111&SSLPort=8443&EnableSSL=false&RedirectHTTPToHTTPS=false");
  EXPECT_EQ(110, CodeOf(set));
  Login forged = SignIn("ann", kAnnPassword, {"Origin: http://evil.example"});
  EXPECT_EQ(110, CodeOf(forged.reply));
  EXPECT_EQ(0, forged.reply.CountHeader("Set-Cookie"));

  // The same calls from the server's own pages, and from curl, go through.
  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {"Origin: " + own, Cookie(admin), token})));
  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {"Referer: " + own + "/index.html", Cookie(admin), token,
                                         "Sec-Fetch-Site: same-origin"})));
  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {Basic("admin", kAdminPassword)})));
  EXPECT_EQ(3, StoredCards());
}

TEST_F(AccessTest, CookieCallsThatChangeNeedTheCsrfToken) {
  Login ann = SignIn("ann", kAnnPassword);
  ASSERT_EQ(0, CodeOf(ann.reply));
  ASSERT_EQ(64u, ann.csrf.size());
  // Reading needs no token.
  EXPECT_EQ(0, CodeOf(List("ann", {Cookie(ann)})));
  EXPECT_EQ(110, CodeOf(AddCardFor("ann", {Cookie(ann)})));
  EXPECT_EQ(110, CodeOf(AddCardFor("ann", {Cookie(ann), "X-CSRF-Token: "})));
  std::string wrong = ann.csrf;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  EXPECT_EQ(110, CodeOf(AddCardFor("ann", {Cookie(ann), "X-CSRF-Token: " + wrong})));
  // Another session's token is no good either.
  Login other = SignIn("ann", kAnnPassword);
  EXPECT_NE(other.csrf, ann.csrf);
  EXPECT_EQ(110, CodeOf(AddCardFor("ann", {Cookie(ann), "X-CSRF-Token: " + other.csrf})));
  EXPECT_EQ(0, StoredCards());

  EXPECT_EQ(0, CodeOf(AddCardFor("ann", {Cookie(ann), "X-CSRF-Token: " + ann.csrf})));
  EXPECT_EQ(1, StoredCards());
  // The token does not lift the user rule.
  EXPECT_EQ(109, CodeOf(AddCardFor("bob", {Cookie(ann), "X-CSRF-Token: " + ann.csrf})));
}

// ---- sessions

TEST_F(AccessTest, SignInSetsAStrictHttpOnlyCookieAndStoresOnlyItsHash) {
  Login ann = SignIn("ann", kAnnPassword);
  EXPECT_EQ(200, ann.reply.status);
  ASSERT_EQ(1, ann.reply.CountHeader("Set-Cookie"));
  const std::string cookie = ann.reply.Header("Set-Cookie");
  EXPECT_EQ("lumidex_session=" + ann.token + "; HttpOnly; SameSite=Strict; Path=/; Max-Age=28800",
            cookie);
  EXPECT_EQ(64u, ann.token.size());
  EXPECT_EQ(std::string::npos, ann.token.find_first_not_of("0123456789abcdef"));
  EXPECT_EQ("no-store", ann.reply.Header("Cache-Control"));
  Json::Value data = ParseJson(ann.reply.body)["data"];
  EXPECT_EQ(Json::Value("ann"), data["user"]);
  EXPECT_EQ(Json::Value(false), data["admin"]);

  // whoami gives the same, from the cookie alone.
  HttpReply who = Send("GET", std::string(kAuth) + "?action=whoami", {Cookie(ann)});
  EXPECT_EQ(200, who.status);
  EXPECT_EQ(data, ParseJson(who.body)["data"]);
  Login admin = SignIn("admin", kAdminPassword);
  EXPECT_EQ(Json::Value(true), ParseJson(admin.reply.body)["data"]["admin"]);

  // The file holds hashes of the tokens, never a token; no one else may read it.
  SessionsDb db(SessionsPath());
  std::vector<std::string> hashes = db.Column("SELECT token_hash FROM sessions ORDER BY user");
  ASSERT_EQ(2u, hashes.size());
  EXPECT_EQ(Sha256Hex(ann.token), hashes[1]);
  EXPECT_EQ(Sha256Hex(admin.token), hashes[0]);
  const std::string stored = ReadFile(SessionsPath()) + ReadFile(SessionsPath() + "-wal");
  EXPECT_NE(std::string::npos, stored.find(hashes[1]));
  EXPECT_EQ(std::string::npos, stored.find(ann.token));
  struct stat info;
  ASSERT_EQ(0, stat(SessionsPath().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);

  // Wrong credentials: no cookie, the contract's message, 401.
  Login wrong = SignIn("ann", "not it");
  EXPECT_EQ(401, wrong.reply.status);
  EXPECT_EQ(
      "{\"success\":false,\"error\":{\"code\":108,\"message\":\"Wrong user name or password\"}}",
      wrong.reply.body);
  EXPECT_EQ(0, wrong.reply.CountHeader("Set-Cookie"));
  HttpReply nobody = Send("GET", std::string(kAuth) + "?action=whoami", {});
  EXPECT_EQ(401, nobody.status);
  EXPECT_EQ(108, CodeOf(nobody));
}

TEST_F(AccessTest, ExpiryAndSignOutEndAccess) {
  Login first = SignIn("ann", kAnnPassword);
  Login second = SignIn("ann", kAnnPassword);
  ASSERT_EQ(0, CodeOf(List("ann", {Cookie(first)})));
  ASSERT_EQ(0, CodeOf(List("ann", {Cookie(second)})));

  // The first session's time runs out.
  {
    SessionsDb db(SessionsPath());
    db.Exec("UPDATE sessions SET expires = " + std::to_string(std::time(nullptr) - 1) +
            " WHERE token_hash = (SELECT token_hash FROM sessions ORDER BY expires LIMIT 1)");
  }
  EXPECT_EQ(108, CodeOf(List("ann", {Cookie(first)})));
  EXPECT_EQ(108, CodeOf(Send("GET", std::string(kAuth) + "?action=whoami", {Cookie(first)})));
  EXPECT_EQ(0, CodeOf(List("ann", {Cookie(second)})));

  // Signing out ends the session and clears the cookie.
  HttpReply out = Send("POST", kAuth, {Cookie(second), "Origin: " + own}, "action=logout");
  EXPECT_EQ(200, out.status);
  EXPECT_EQ("{\"success\":true,\"data\":null}", out.body);
  EXPECT_EQ("lumidex_session=; HttpOnly; SameSite=Strict; Path=/; Max-Age=0",
            out.Header("Set-Cookie"));
  EXPECT_EQ(401, List("ann", {Cookie(second)}).status);
  EXPECT_EQ(108, CodeOf(Send("GET", std::string(kAuth) + "?action=whoami", {Cookie(second)})));
  // Signing in again while holding a cookie replaces that session.
  Login third = SignIn("ann", kAnnPassword);
  Login fourth = SignIn("ann", kAnnPassword, {Cookie(third)});
  EXPECT_EQ(108, CodeOf(List("ann", {Cookie(third)})));
  EXPECT_EQ(0, CodeOf(List("ann", {Cookie(fourth)})));
  // Sign-in and sign-out only by POST; a query string never carries the password.
  EXPECT_EQ(400, Send("GET",
                      std::string(kAuth) +
                          "?action=login&username=ann&password=" + UrlEncode(kAnnPassword),
                      {})
                     .status);
  EXPECT_EQ(400, Send("GET", std::string(kAuth) + "?action=logout", {Cookie(fourth)}).status);
  EXPECT_EQ(0, CodeOf(List("ann", {Cookie(fourth)})));
}

// ---- failed sign-ins

TEST_F(AccessTest, FailedSignInsAreSlowedDownThenRefused) {
  std::vector<double> took;
  for (int i = 0; i < 3; ++i) {
    auto start = std::chrono::steady_clock::now();
    HttpReply reply = List("bob", {Basic("bob", "guess " + std::to_string(i))});
    took.push_back(Seconds(start));
    EXPECT_EQ(108, CodeOf(reply));
  }
  // After two failures the third waits at least half a second before it is checked, and so
  // does the right password after three.
  EXPECT_GE(took[2], 0.5);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, CodeOf(SignIn("bob", kBobPassword).reply));
  EXPECT_GE(Seconds(start), 1.0);
  // The success ended bob's slow-down; his failures still count for the address.
  {
    SessionsDb db(SessionsPath());
    EXPECT_EQ((std::vector<std::string>{"0"}),
              db.Column("SELECT count(*) FROM sign_in_failures WHERE name = 'bob'"));
    EXPECT_EQ((std::vector<std::string>{"3"}),
              db.Column("SELECT count(*) FROM sign_in_failures WHERE address = '127.0.0.1'"));
  }

  // Beyond the limit for a name from one address, even the right password is refused there,
  // but not from another address, and other names are not affected.
  const std::string now = std::to_string(std::time(nullptr));
  {
    SessionsDb db(SessionsPath());
    for (int i = 0; i < 10; ++i) {
      db.Exec("INSERT INTO sign_in_failures(name, address, at) VALUES ('bob', '127.0.0.1', " + now +
              ")");
    }
  }
  HttpReply locked = List("bob", {Basic("bob", kBobPassword)});
  EXPECT_EQ(429, locked.status);
  EXPECT_EQ(
      "{\"success\":false,\"error\":{\"code\":111,\"message\":\"Too many failed sign-ins, try "
      "again later\"}}",
      locked.body);
  const int retryAfter = std::atoi(locked.Header("Retry-After").c_str());
  EXPECT_GE(retryAfter, 898);
  EXPECT_LE(retryAfter, 900);
  Login viaPage = SignIn("bob", kBobPassword);
  EXPECT_EQ(111, CodeOf(viaPage.reply));
  EXPECT_EQ(0, viaPage.reply.CountHeader("Set-Cookie"));
  EXPECT_EQ(0, CodeOf(Send("GET", std::string(kContacts) + "&method=list_cards&user=bob",
                           {Basic("bob", kBobPassword)}, "", "127.0.0.2")));
  EXPECT_EQ(0, CodeOf(List("ann", {Basic("ann", kAnnPassword)})));

  // Failures older than the window no longer count.
  {
    SessionsDb db(SessionsPath());
    db.Exec("UPDATE sign_in_failures SET at = at - 901");
  }
  EXPECT_EQ(0, CodeOf(List("bob", {Basic("bob", kBobPassword)})));

  // Beyond the limit for a client address, names that did not sign in from there lately are
  // refused there; ann and bob just did.
  {
    SessionsDb db(SessionsPath());
    for (int i = 0; i < 30; ++i) {
      db.Exec("INSERT INTO sign_in_failures(name, address, at) VALUES ('', '127.0.0.1', " + now +
              ")");
    }
  }
  EXPECT_EQ(111, CodeOf(List("admin", {Basic("admin", kAdminPassword)})));
  EXPECT_EQ(0, CodeOf(List("ann", {Basic("ann", kAnnPassword)})));
}

TEST_F(AccessTest, ParallelGuessesAreCheckedNoMoreThanTheLimitAndLockOnlyTheirAddress) {
  std::vector<std::pair<std::string, std::string>> guesses;
  for (int i = 0; i < 40; ++i) guesses.emplace_back("admin", "guess " + std::to_string(i));
  const std::vector<HttpReply> replies = SignInsAtOnce(guesses, "127.0.0.2");
  // Checked (and wrong) or refused before the check: exactly the limit got checked.
  EXPECT_EQ(10, WithStatus(replies, 401));
  EXPECT_EQ(30, WithStatus(replies, 429));
  {
    SessionsDb db(SessionsPath());
    EXPECT_EQ((std::vector<std::string>{"10"}),
              db.Column("SELECT count(*) FROM sign_in_failures WHERE name = 'admin'"
                        " AND address = '127.0.0.2'"));
  }
  HttpReply there =
      Send("POST", kAuth, {}, "action=login&username=admin&password=" + UrlEncode(kAdminPassword),
           "127.0.0.2");
  EXPECT_EQ(429, there.status);
  EXPECT_EQ(0, there.CountHeader("Set-Cookie"));
  // From its own address admin gets in, only slowed down.
  EXPECT_EQ(0, CodeOf(SignIn("admin", kAdminPassword).reply));
  EXPECT_EQ(0, CodeOf(List("ann", {Basic("admin", kAdminPassword)})));
}

TEST_F(AccessTest, RightPasswordsSentAtOnceAreNeverRefusedForChecksInFlight) {
  // Rounds of 20 listings at once with admin's password, as a script listing several users
  // sends them: first clean, then right after two typos.
  auto round = [&] {
    std::vector<HttpReply> replies(20);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < replies.size(); ++i) {
      clients.emplace_back([&, i] {
        replies[i] = HttpRequest(
            server->Port(), "GET",
            std::string(kContacts) + "&method=list_cards&user=user" + std::to_string(i % 4),
            {"Host: " + host, Basic("admin", kAdminPassword)});
      });
    }
    for (std::thread& client : clients) client.join();
    return WithStatus(replies, 200);
  };
  EXPECT_EQ(20, round());
  EXPECT_EQ(108, CodeOf(List("ann", {Basic("admin", "typo 1")})));
  EXPECT_EQ(108, CodeOf(List("ann", {Basic("admin", "typo 2")})));
  EXPECT_EQ(20, round());
  // One failure short of the limit, each check first waits 4 s, so the checks overlap for
  // certain; one runs, the others wait for it rather than count it as a failure.
  {
    SessionsDb db(SessionsPath());
    const std::string now = std::to_string(std::time(nullptr));
    for (int i = 0; i < front::kMaxNameFailuresPerAddress - 1; ++i) {
      db.Exec("INSERT INTO sign_in_failures(name, address, at) VALUES ('admin', '127.0.0.1', " +
              now + ")");
    }
  }
  EXPECT_EQ(20, round());

  // A check whose process died is not waited for for ever: once stale it is a failure.
  {
    SessionsDb db(SessionsPath());
    const std::string stale = std::to_string(std::time(nullptr) - front::kInFlightSeconds - 1);
    for (int i = 0; i < front::kMaxNameFailuresPerAddress; ++i) {
      db.Exec(
          "INSERT INTO sign_in_failures(name, address, at, pending) VALUES"
          " ('bob', '127.0.0.1', " +
          stale + ", 1)");
    }
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(429, List("bob", {Basic("bob", kBobPassword)}).status);
  EXPECT_LT(Seconds(start), 5.0);
}

TEST(SessionsFile, ProcessesSettingUpANewFileAtOnceAllGetThrough) {
  TempRoot root;
  const std::string path = root.Path(kSessions);
  // Each round starts without the file, so that every process races to set it up.
  for (int round = 0; round < 20; ++round) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> children;
    for (int i = 0; i < 16; ++i) {
      const pid_t child = fork();
      if (child == 0) {
        close(gate[1]);
        char byte;
        while (read(gate[0], &byte, 1) > 0) {
        }
        front::SessionStore store;
        front::SessionStore::Reservation reservation;
        const bool through = store.Open(true) && store.ReserveFailure("user" + std::to_string(i),
                                                                      "127.0.0.1", &reservation) ==
                                                     front::SessionStore::Reserve::kReserved;
        _exit(through ? 0 : 1);
      }
      children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);  // all start now
    int failed = 0;
    for (pid_t child : children) {
      int status = 0;
      waitpid(child, &status, 0);
      failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    ASSERT_EQ(0, failed) << "round " << round;
  }
}

TEST(SessionsFile, AFileOfAnEarlierVersionKeepsItsFailures) {
  TempRoot root;
  const std::string path = root.Path(kSessions);
  fs::create_directories(fs::path(path).parent_path());
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &db));
    std::string insert;
    for (int i = 0; i < front::kMaxNameFailuresPerAddress; ++i) {
      insert += "INSERT INTO sign_in_failures VALUES ('ann', '127.0.0.1', strftime('%s'), 1);";
    }
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      ("CREATE TABLE sign_in_failures(name TEXT NOT NULL, address"
                                       " TEXT NOT NULL, at INTEGER NOT NULL, slows INTEGER NOT"
                                       " NULL DEFAULT 1);" +
                                       insert)
                                          .c_str(),
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  front::SessionStore store;
  ASSERT_TRUE(store.Open(true));
  front::SessionStore::Reservation reservation;
  EXPECT_EQ(front::SessionStore::Reserve::kRefused,
            store.ReserveFailure("ann", "127.0.0.1", &reservation));
  EXPECT_EQ(front::SessionStore::Reserve::kReserved,
            store.ReserveFailure("ann", "127.0.0.2", &reservation));
  EXPECT_EQ(front::kMaxNameFailuresPerAddress, reservation.nameFailures);
}

TEST_F(AccessTest, AnAccountsSignInDoesNotResetItsAddressForOtherNames) {
  // Password spraying from one address: 25 names, then a sign-in of the sprayer's own account.
  std::vector<std::pair<std::string, std::string>> spray;
  for (int i = 0; i < 25; ++i) spray.emplace_back("user" + std::to_string(i), "Summer2026");
  EXPECT_EQ(25, WithStatus(SignInsAtOnce(spray, "127.0.0.2"), 401));
  EXPECT_EQ(200, SignInsAtOnce({{"ann", kAnnPassword}}, "127.0.0.2")[0].status);

  // The address still holds its 25: of ten more names, five are checked.
  std::vector<std::pair<std::string, std::string>> more;
  for (int i = 25; i < 35; ++i) more.emplace_back("user" + std::to_string(i), "Summer2026");
  const std::vector<HttpReply> replies = SignInsAtOnce(more, "127.0.0.2");
  EXPECT_EQ(5, WithStatus(replies, 401));
  EXPECT_EQ(5, WithStatus(replies, 429));
  // Refused there now: bob, even with his password; ann, who signed in from there, is not.
  EXPECT_EQ(429, SignInsAtOnce({{"bob", kBobPassword}}, "127.0.0.2")[0].status);
  EXPECT_EQ(200, SignInsAtOnce({{"ann", kAnnPassword}}, "127.0.0.2")[0].status);
  EXPECT_EQ(200, SignIn("bob", kBobPassword).reply.status);
}

TEST_F(AccessTest, HostileSignInsGetCleanErrors) {
  const std::vector<std::pair<std::string, std::string>> attempts = {
      {std::string(5000, 'n'), "x"},
      {"ann", std::string(3000, 'p')},
      {"ann\r\nSet-Cookie: lumidex_session=1", kAnnPassword},
      {"ann' OR '1'='1", "' OR '1'='1"},
      {"ann:", kAnnPassword},
      {"Zoë 日本", "Zoë"},
      {std::string("ann\0", 4), kAnnPassword},
      {"", ""},
  };
  for (const auto& attempt : attempts) {
    Login login = SignIn(attempt.first, attempt.second);
    EXPECT_EQ(401, login.reply.status) << attempt.first.substr(0, 40);
    EXPECT_EQ(108, CodeOf(login.reply)) << attempt.first.substr(0, 40);
    EXPECT_EQ(0, login.reply.CountHeader("Set-Cookie")) << attempt.first.substr(0, 40);
  }
  // Too large a body, a body of another type, no action, an unknown action.
  HttpReply huge =
      Send("POST", kAuth, {}, "action=login&username=ann&password=" + std::string(20000, 'p'));
  EXPECT_EQ(400, huge.status);
  EXPECT_EQ(105, CodeOf(huge));
  EXPECT_EQ(400, Send("POST", kAuth, {"Content-Type: text/plain"}, "").status);
  EXPECT_EQ(400, Send("POST", kAuth, {}, "username=ann").status);
  EXPECT_EQ(400, Send("POST", kAuth, {}, "action=%0D%0Adrop").status);
  // Nothing of the above let anyone in.
  SessionsDb db(SessionsPath());
  EXPECT_EQ((std::vector<std::string>{"0"}), db.Column("SELECT count(*) FROM sessions"));
}

// ---- pages

TEST_F(AccessTest, PagesAreServedWithoutSignIn) {
  const std::string www = root.Path("/var/packages/Lumidex/target/www");
  fs::remove(www);
  WriteFile(www + "/index.html", "<!doctype html><title>contacts</title>");
  WriteFile(www + "/style.css", "body{}");
  HttpReply index = Send("GET", "/", {});
  EXPECT_EQ(200, index.status);
  EXPECT_EQ("<!doctype html><title>contacts</title>", index.body);
  EXPECT_EQ("text/html; charset=utf-8", index.Header("Content-Type"));
  HttpReply css = Send("GET", "/style.css", {});
  EXPECT_EQ(200, css.status);
  EXPECT_EQ("text/css; charset=utf-8", css.Header("Content-Type"));
}

TEST_F(AccessTest, EveryReplyCarriesTheSecurityHeadersOnce) {
  ASSERT_EQ(0, CodeOf(AddCardFor("ann", {Basic("ann", kAnnPassword)})));
  const std::vector<std::pair<std::string, HttpReply>> replies = {
      {"page", Send("GET", "/", {})},
      {"script", Send("GET", "/app.js", {})},
      {"missing page", Send("GET", "/nothing.html", {})},
      {"sign-in", SignIn("ann", kAnnPassword).reply},
      {"listing", List("ann", {Basic("ann", kAnnPassword)})},
      {"export", Send("GET", std::string(kContacts) + "&method=export_all_cards&user=ann",
                      {Basic("ann", kAnnPassword)})},
      {"export not found",
       Send("GET", std::string(kContacts) + "&method=export_all_cards&user=nobody",
            {Basic("admin", kAdminPassword)})},
      {"refusal", List("bob", {Basic("ann", kAnnPassword)})},
      {"not signed in", List("ann", {})},
      {"unknown API",
       Send("GET", "/webapi/entry.cgi?api=X&version=1&method=y", {Basic("ann", kAnnPassword)})},
  };
  EXPECT_EQ(200, replies[0].second.status);
  EXPECT_NE(std::string::npos, replies[5].second.body.find("BEGIN:VCARD"));
  for (const auto& [what, reply] : replies) {
    ASSERT_TRUE(reply.received) << what;
    EXPECT_EQ(1, reply.CountHeader("X-Content-Type-Options")) << what << "\n" << reply.raw;
    EXPECT_EQ("nosniff", reply.Header("X-Content-Type-Options")) << what;
    EXPECT_EQ(1, reply.CountHeader("Content-Security-Policy")) << what;
    EXPECT_EQ(
        "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
        "form-action 'self'; frame-ancestors 'none'",
        reply.Header("Content-Security-Policy"))
        << what;
    EXPECT_EQ(1, reply.CountHeader("Cache-Control")) << what;
    EXPECT_EQ("no-store", reply.Header("Cache-Control")) << what;
  }
}

// ---- the accounts command

class AccountToolTest : public ::testing::Test {
 protected:
  std::string AccountsFile() { return root.Path(kAccounts); }
  TempRoot root;
};

TEST_F(AccountToolTest, AccountsFileHoldsOnlyYescryptHashesAndIsPrivate) {
  ProcessResult added = RunAccountTool(root, "add", "ann", std::string(kAnnPassword) + "\n");
  ASSERT_EQ(0, added.exitCode) << added.err;
  AddAccount(root, "bob", "second");
  const std::string text = ReadFile(AccountsFile());
  EXPECT_EQ(std::string::npos, text.find(kAnnPassword));
  EXPECT_EQ(std::string::npos, text.find("second"));
  EXPECT_EQ(0u, text.find("ann:$y$")) << text;
  EXPECT_NE(std::string::npos, text.find("\nbob:$y$")) << text;
  struct stat info;
  ASSERT_EQ(0, stat(AccountsFile().c_str(), &info));
  EXPECT_EQ(0600u, info.st_mode & 0777);
  // The same password twice gives two hashes: each has its own salt.
  AddAccount(root, "carl", "second");
  const std::string all = ReadFile(AccountsFile());
  std::vector<std::string> hashes;
  for (const std::string& name : {std::string("bob"), std::string("carl")}) {
    size_t at = all.find("\n" + name + ":");
    ASSERT_NE(std::string::npos, at) << all;
    at += name.size() + 2;
    hashes.push_back(all.substr(at, all.find('\n', at) - at));
  }
  EXPECT_NE(hashes[0], hashes[1]);
}

TEST_F(AccountToolTest, AddPasswdDeleteChangeWhoCanSignIn) {
  AddAccount(root, "admin", kAdminPassword);
  AddAccount(root, "ann", "old password");
  Lighttpd server(root.Dir());
  ASSERT_TRUE(server.Started()) << server.Log();
  auto list = [&](const std::string& authorization) {
    return HttpRequest(server.Port(), "GET", std::string(kContacts) + "&method=list_cards&user=ann",
                       {"Authorization: " + authorization});
  };
  auto login = [&](const std::string& password) {
    HttpReply reply = HttpRequest(server.Port(), "POST", kAuth,
                                  {"Content-Type: application/x-www-form-urlencoded"},
                                  "action=login&username=ann&password=" + UrlEncode(password));
    std::string cookie = reply.Header("Set-Cookie");
    return "Cookie: " + cookie.substr(0, cookie.find(';'));
  };
  auto whoami = [&](const std::string& cookie) {
    return HttpRequest(server.Port(), "GET", std::string(kAuth) + "?action=whoami", {cookie})
        .status;
  };
  EXPECT_EQ(200, list(BasicCredentials("ann", "old password")).status);
  const std::string oldSession = login("old password");
  EXPECT_EQ(200, whoami(oldSession));

  // An account that exists cannot be added again; its password stays.
  ProcessResult again = RunAccountTool(root, "add", "ann", "other\n");
  EXPECT_EQ(1, again.exitCode);
  EXPECT_NE(std::string::npos, again.err.find("exists")) << again.err;
  EXPECT_EQ(200, list(BasicCredentials("ann", "old password")).status);

  // A new password: the old one and its sessions no longer work.
  ProcessResult changed = RunAccountTool(root, "passwd", "ann", "new password\r\n");
  ASSERT_EQ(0, changed.exitCode) << changed.err;
  EXPECT_EQ(401, list(BasicCredentials("ann", "old password")).status);
  EXPECT_EQ(401, whoami(oldSession));
  EXPECT_EQ(200, list(BasicCredentials("ann", "new password")).status);
  const std::string newSession = login("new password");
  EXPECT_EQ(200, whoami(newSession));

  // Deleted: neither the password nor the session lets her in; admin is still there.
  ProcessResult deleted = RunAccountTool(root, "delete", "ann", "");
  ASSERT_EQ(0, deleted.exitCode) << deleted.err;
  EXPECT_EQ(401, list(BasicCredentials("ann", "new password")).status);
  EXPECT_EQ(401, whoami(newSession));
  EXPECT_EQ(200, list(BasicCredentials("admin", kAdminPassword)).status);
  EXPECT_EQ(1, RunAccountTool(root, "delete", "ann", "").exitCode);
  EXPECT_EQ(1, RunAccountTool(root, "passwd", "nobody", "x\n").exitCode);
}

TEST_F(AccountToolTest, BadNamesPasswordsAndUsageChangeNothing) {
  AddAccount(root, "admin", kAdminPassword);
  const std::string before = ReadFile(AccountsFile());
  for (const std::string& name :
       {std::string(65, 'a'), std::string("a:b"), std::string("Zoë"), std::string("-x"),
        std::string(".hidden"), std::string("a b"), std::string("a\nb"), std::string("")}) {
    ProcessResult result = RunAccountTool(root, "add", name, "password\n");
    EXPECT_EQ(1, result.exitCode) << name;
    EXPECT_FALSE(result.err.empty());
  }
  for (const std::string& input :
       {std::string(""), std::string("\n"), std::string("a\rb\n"), std::string(2000, 'p') + "\n"}) {
    EXPECT_EQ(1, RunAccountTool(root, "add", "ann", input).exitCode) << input.size();
  }
  EXPECT_EQ(2, RunProcess({BuildDir() + "/platform/lumidex_account"}).exitCode);
  EXPECT_EQ(2, RunProcess({BuildDir() + "/platform/lumidex_account", "rename", "ann"},
                          {{"LUMIDEX_ROOT", root.Dir()}})
                   .exitCode);
  EXPECT_EQ(before, ReadFile(AccountsFile()));
  // 64 bytes and the allowed marks are a name.
  EXPECT_EQ(0, RunAccountTool(root, "add", std::string(64, 'z'), "pw\n").exitCode);
  EXPECT_EQ(0, RunAccountTool(root, "add", "a.b_c-d@e", "pw\n").exitCode);
}

TEST_F(AccountToolTest, AccountsAddedAtTheSameTimeAreAllKept) {
  std::vector<std::thread> threads;
  std::vector<int> codes(8, -1);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      codes[i] = RunAccountTool(root, "add", "user" + std::to_string(i), "pw\n").exitCode;
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::string text = ReadFile(AccountsFile());
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(0, codes[i]);
    EXPECT_NE(std::string::npos, text.find("user" + std::to_string(i) + ":$y$")) << text;
  }
}

}  // namespace
