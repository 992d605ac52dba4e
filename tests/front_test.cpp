// The web API framework's CGI front (entry.cgi) run as a real process against a test package
// tree holding test modules: parameter decoding, uploads, dispatch, the front's own errors and
// the replies handlers write themselves; then the same front behind a real lighttpd.
#include <dirent.h>
#include <json/reader.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lighttpd.h"
#include "process.h"
#include "records.h"
#include "signin.h"
#include "test_env.h"

namespace fs = std::filesystem;
using testenv::ParseJson;
using testenv::ProcessResult;

namespace {

const char kTestApi[] = "Lumidex.FrontTest";
const char kWebApi[] = "/var/packages/Lumidex/target/webapi";

std::string EntryCgi() { return testenv::BuildDir() + "/platform/entry.cgi"; }

std::string Query(const std::string& method, int version = 1, const std::string& api = kTestApi) {
  return "api=" + api + "&version=" + std::to_string(version) + "&method=" + method;
}

// The header lines the front puts on every reply, its own and those handlers write.
const char kCommonHeaders[] =
    "X-Content-Type-Options: nosniff\r\n"
    "Content-Security-Policy: default-src 'self'; img-src 'self' data:; object-src 'none';"
    " base-uri 'none'; form-action 'self'; frame-ancestors 'none'\r\n"
    "Cache-Control: no-store\r\n";

std::string JsonReplyBytes(const std::string& body) {
  return std::string(kCommonHeaders) +
         "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

std::string FrontErrorBytes(int code, const std::string& message) {
  return JsonReplyBytes("{\"success\":false,\"error\":{\"code\":" + std::to_string(code) +
                        ",\"message\":\"" + message + "\"}}");
}

int EntriesIn(const std::string& dir) {
  int n = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    (void)entry;
    ++n;
  }
  return n;
}

class FrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* module : {"FrontTest.so", "FrontTestB.so"}) {
      fs::create_symlink(testenv::BuildDir() + "/tests/modules/" + module,
                         root.Path(kWebApi) + "/" + module);
    }
    authorization = testenv::AdminAuthorization(root);
    char pattern[] = "/tmp/lumidex-front-tmp-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    uploadDir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(uploadDir, ignored);
  }

  // Runs entry.cgi with the CGI variables given (plus TMPDIR, where uploads go), signed in as
  // admin.
  ProcessResult Run(std::map<std::string, std::string> env, const std::string& input = "") {
    env["TMPDIR"] = uploadDir;
    env["HTTP_AUTHORIZATION"] = authorization;
    env["GATEWAY_INTERFACE"] = "CGI/1.1";
    if (env.count("REQUEST_METHOD") == 0) env["REQUEST_METHOD"] = input.empty() ? "GET" : "POST";
    ProcessResult result = testenv::RunProcess({EntryCgi()}, env, input);
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0) << "signal " << result.signal << "\n" << result.err;
    return result;
  }
  ProcessResult Get(const std::string& query) { return Run({{"QUERY_STRING", query}}); }
  ProcessResult Post(const std::string& query, const std::string& contentType,
                     const std::string& body) {
    return Run({{"QUERY_STRING", query},
                {"CONTENT_TYPE", contentType},
                {"CONTENT_LENGTH", std::to_string(body.size())}},
               body);
  }

  // The JSON body of a front reply, after checking its header lines.
  Json::Value Reply(const ProcessResult& result) {
    Json::Value reply;
    size_t headEnd = result.out.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
      ADD_FAILURE() << "no header block in: " << result.out;
      return reply;
    }
    std::string body = result.out.substr(headEnd + 4);
    EXPECT_EQ(result.out.substr(0, headEnd + 4), JsonReplyBytes(body).substr(0, headEnd + 4));
    EXPECT_TRUE(ParseJson(body, &reply)) << body;
    return reply;
  }
  // The parameters the echo handler saw.
  Json::Value Echoed(const ProcessResult& result) {
    Json::Value reply = Reply(result);
    EXPECT_EQ(reply["success"], Json::Value(true)) << result.out << result.err;
    return reply["data"]["params"];
  }
  int ErrorCode(const ProcessResult& result) {
    Json::Value reply = Reply(result);
    EXPECT_EQ(reply["success"], Json::Value(false)) << result.out;
    return reply["error"]["code"].isInt() ? reply["error"]["code"].asInt() : -1;
  }

  testenv::TempRoot root;
  std::string uploadDir;
  std::string authorization;
};

// ---- parameter decoding

TEST_F(FrontTest, QueryValuesAreJsonWhenTheyParseAndTextOtherwise) {
  Json::Value params = Echoed(
      Get(Query("echo") + "&user=alice&id=%5B%22a%22%2C%22b%22%5D&EnableSSL=true&HTTPPort=8008" +
          "&neg=-5&real=1.5&quoted=%22q%22&obj=%7B%22a%22%3A1%7D&nothing=null&zeros=007" +
          "&huge=123456789012345678901234567890&broken=%5B1%2C2&empty=&spaced=a+b%20c" +
          "&tail=1x&commented=%5B1%5D%2F%2Fc"));
  EXPECT_EQ(params["user"], Json::Value("alice"));
  ASSERT_TRUE(params["id"].isArray());
  ASSERT_EQ(params["id"].size(), 2u);
  EXPECT_EQ(params["id"][0], Json::Value("a"));
  EXPECT_EQ(params["id"][1], Json::Value("b"));
  EXPECT_TRUE(params["EnableSSL"].isBool() && params["EnableSSL"].asBool());
  EXPECT_TRUE(params["HTTPPort"].isInt());
  EXPECT_EQ(params["HTTPPort"].asInt(), 8008);
  EXPECT_EQ(params["neg"].asInt(), -5);
  EXPECT_TRUE(params["real"].isDouble());
  EXPECT_EQ(params["quoted"], Json::Value("q"));
  EXPECT_EQ(params["obj"]["a"], Json::Value(1));
  EXPECT_TRUE(params.isMember("nothing"));
  EXPECT_TRUE(params["nothing"].isNull());
  // Not JSON numbers, or not without losing digits: kept as sent.
  EXPECT_EQ(params["zeros"], Json::Value("007"));
  EXPECT_EQ(params["huge"], Json::Value("123456789012345678901234567890"));
  EXPECT_EQ(params["broken"], Json::Value("[1,2"));
  EXPECT_EQ(params["empty"], Json::Value(""));
  EXPECT_EQ(params["spaced"], Json::Value("a b c"));
  EXPECT_EQ(params["tail"], Json::Value("1x"));
  EXPECT_EQ(params["commented"], Json::Value("[1]//c"));
  EXPECT_EQ(params["version"], Json::Value(1));
}

TEST_F(FrontTest, HandlersReadEveryValueAsTextByOneRule) {
  // A text that is exactly one JSON string is that string, decoded, for the text and the value
  // alike; any other text, even one that reads as another JSON value, is read as sent, and the
  // ones with white space around them are not read as JSON at all.
  auto asSent = [](const std::string& text) { return std::make_pair(text, text); };
  const std::vector<std::pair<std::string, std::string>> sent = {
      asSent("null"),
      asSent("1e3"),
      asSent("2.50"),
      asSent("true"),
      asSent("1000"),
      asSent("-0"),
      asSent("007"),
      asSent("\t007"),
      asSent(" 12345678901234567890123"),
      asSent("7\n"),
      asSent("[\"ann\"]"),
      asSent(""),
      asSent("Zoë"),
      asSent(std::string("a\0b", 3)),
      {"\"ann\"", "ann"},
      {"\"o'brien\"", "o'brien"},
      {"\"a\\\"b\"", "a\"b"},
      {"\"\\u00e9\\ud83d\\udcc7\\n\\/\"", "\u00e9\U0001F4C7\n/"},
      {"\"\"", ""},
      asSent("\"ann\" "),
      asSent("\"a\" \"b\""),
      asSent("\"a\"b\""),
      asSent("\"ann"),
      asSent("\"\\ud83d\""),
      asSent("\"\\x\""),
      asSent("\"a\tb\""),
  };
  std::string query = Query("echo");
  for (size_t i = 0; i < sent.size(); ++i) {
    query += "&v" + std::to_string(i) + "=" + testenv::UrlEncode(sent[i].first);
  }
  // A body value replaces the query's, text and all.
  Json::Value echoed = Reply(
      Post(query + "&last=query", "application/x-www-form-urlencoded", "last=%20body"))["data"];
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::string name = "v" + std::to_string(i);
    const std::string& read = sent[i].second;
    EXPECT_EQ(echoed["texts"][name], Json::Value(read)) << sent[i].first;
    // A value that is a string is the same string.
    if (echoed["params"][name].isString()) {
      EXPECT_EQ(echoed["params"][name], Json::Value(read)) << sent[i].first;
    }
  }
  EXPECT_EQ(echoed["texts"]["last"], Json::Value(" body"));
  EXPECT_EQ(echoed["params"]["last"], Json::Value(" body"));
  for (size_t i = 7; i <= 9; ++i) {
    EXPECT_EQ(echoed["params"]["v" + std::to_string(i)], Json::Value(sent[i].first)) << i;
  }
  EXPECT_EQ(echoed["params"]["v4"], Json::Value(1000));
  EXPECT_EQ(echoed["params"]["v0"], Json::Value());
}

TEST_F(FrontTest, BodyValuesJoinTheQueryAndReplaceItsValues) {
  Json::Value params =
      Echoed(Post(Query("echo") + "&user=fromquery&keep=q&dup=1&dup=2",
                  "application/x-www-form-urlencoded; charset=UTF-8",
                  "user=frombody&card=%7B%22name%22%3A%22Ann%22%7D&last=x&last=y"));
  EXPECT_EQ(params["user"], Json::Value("frombody"));
  EXPECT_EQ(params["keep"], Json::Value("q"));
  EXPECT_EQ(params["dup"], Json::Value(2));
  EXPECT_EQ(params["last"], Json::Value("y"));
  EXPECT_EQ(params["card"]["name"], Json::Value("Ann"));
}

TEST_F(FrontTest, HostileValuesArriveByteForByte) {
  const std::string quotes = "O'Brien \"the\" \\ `x` ' OR '1'='1";
  const std::string lines = "line1\r\nline2\nContent-Type: text/html\r\n\r\n<b>";
  const std::string accents = "Zoë Ñandú 日本語 \xF0\x9F\x93\x87";
  const std::string withNul = std::string("a\0b", 3);
  const std::string longValue(1 << 20, 'x');
  const std::string nested = std::string(5000, '[') + std::string(5000, ']');
  std::string body =
      "quotes=" + testenv::UrlEncode(quotes) + "&lines=" + testenv::UrlEncode(lines) +
      "&accents=" + testenv::UrlEncode(accents) + "&nul=" + testenv::UrlEncode(withNul) +
      "&long=" + longValue + "&nested=" + testenv::UrlEncode(nested) + "&jsonquote=%22a%5C%22b%22";
  ProcessResult result = Post(Query("echo"), "application/x-www-form-urlencoded", body);
  Json::Value params = Echoed(result);
  EXPECT_EQ(params["quotes"], Json::Value(quotes));
  EXPECT_EQ(params["lines"], Json::Value(lines));
  EXPECT_EQ(params["accents"], Json::Value(accents));
  EXPECT_EQ(params["nul"].asString(), withNul);
  EXPECT_EQ(params["long"].asString(), longValue);
  EXPECT_EQ(params["nested"], Json::Value(nested));  // deeper than the JSON reader goes
  EXPECT_EQ(params["jsonquote"], Json::Value("a\"b"));
  // No value can add a line to the reply: after the header block the JSON has no raw line end.
  size_t headEnd = result.out.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  EXPECT_EQ(result.out.find_first_of("\r\n", headEnd + 4), std::string::npos);
}

TEST_F(FrontTest, ClientCannotNameALocalFileAsAnUpload) {
  std::string multipart = testenv::MultipartBody("XyZ", {{"file_tmp", "/etc/passwd"}}, {});
  Json::Value params = Echoed(Post(Query("echo") + "&file_tmp=%2Fetc%2Fshadow&x_tmp=1",
                                   "multipart/form-data; boundary=XyZ", multipart));
  EXPECT_FALSE(params.isMember("file_tmp"));
  EXPECT_FALSE(params.isMember("x_tmp"));
}

// ---- uploads

TEST_F(FrontTest, UploadedFileIsThereDuringTheRequestAndGoneAfter) {
  std::string bytes = std::string("BEGIN:VCARD\r\nFN:Ann\r\n\0\x01\xff", 24) +
                      "\r\n--XyZ not the end\r\n--XyZx\r\nEND:VCARD\r\n";
  std::string multipart =
      testenv::MultipartBody("XyZ", {{"user", "alice"}}, {{"file", "Ünï code list.vcf", bytes}});
  ProcessResult result = Post(Query("upload"), "multipart/form-data; boundary=\"XyZ\"", multipart);
  Json::Value reply = Reply(result);
  ASSERT_EQ(reply["success"], Json::Value(true)) << result.out << result.err;
  const Json::Value& seen = reply["data"];
  EXPECT_EQ(seen["file"], Json::Value("Ünï code list.vcf"));
  EXPECT_EQ(seen["existed"], Json::Value(true));
  std::string hex;
  for (unsigned char c : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", c);
    hex += pair;
  }
  EXPECT_EQ(seen["hex"].asString(), hex);
  std::string path = seen["file_tmp"].asString();
  EXPECT_EQ(path.rfind(uploadDir + "/", 0), 0u) << path;
  EXPECT_FALSE(testenv::FileExists(path));
  EXPECT_EQ(EntriesIn(uploadDir), 0);
}

TEST_F(FrontTest, EmptyUploadGivesAnEmptyFile) {
  std::string multipart = testenv::MultipartBody("b0", {}, {{"file", "empty.vcf", ""}});
  Json::Value reply = Reply(Post(Query("upload"), "multipart/form-data; boundary=b0", multipart));
  EXPECT_EQ(reply["data"]["file"], Json::Value("empty.vcf"));
  EXPECT_EQ(reply["data"]["existed"], Json::Value(true));
  EXPECT_EQ(reply["data"]["hex"], Json::Value(""));
  EXPECT_EQ(EntriesIn(uploadDir), 0);
}

TEST_F(FrontTest, UploadsAreRemovedWhenTheHandlerThrows) {
  std::string multipart =
      testenv::MultipartBody("b1", {}, {{"file", "a.vcf", "x"}, {"other", "b.vcf", "y"}});
  ProcessResult result = Post(Query("throw"), "multipart/form-data; boundary=b1", multipart);
  EXPECT_EQ(ErrorCode(result), 106);
  EXPECT_EQ(EntriesIn(uploadDir), 0);
}

TEST_F(FrontTest, UnreadableBodiesGetTheBadRequestReply) {
  const std::string badRequest = FrontErrorBytes(105, "Bad request");
  std::string cut = testenv::MultipartBody("b2", {{"user", "alice"}}, {{"file", "a.vcf", "x"}});
  cut.resize(cut.size() - 10);
  EXPECT_EQ(Post(Query("echo"), "multipart/form-data; boundary=b2", cut).out, badRequest);
  EXPECT_EQ(Post(Query("echo"), "multipart/form-data", "--b2\r\n\r\n--b2--\r\n").out, badRequest);
  EXPECT_EQ(Post(Query("echo"), "application/json", "{\"user\":\"alice\"}").out, badRequest);
  EXPECT_EQ(Post(Query("echo"), "", "user=alice").out, badRequest);
  // Less input than announced, a length that is no number, a length too large to hold.
  EXPECT_EQ(Run({{"QUERY_STRING", Query("echo")},
                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                 {"CONTENT_LENGTH", "100"}},
                "user=alice")
                .out,
            badRequest);
  EXPECT_EQ(Run({{"QUERY_STRING", Query("echo")}, {"CONTENT_LENGTH", "12abc"}}, "x").out,
            badRequest);
  EXPECT_EQ(Run({{"QUERY_STRING", Query("echo")},
                 {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                 {"CONTENT_LENGTH", "999999999999"}},
                "user=alice")
                .out,
            badRequest);
  EXPECT_EQ(EntriesIn(uploadDir), 0);
}

// ---- dispatch

TEST_F(FrontTest, DispatchesOnApiVersionAndMethod) {
  ProcessResult v1 = Get(Query("echo", 1));
  EXPECT_EQ(Reply(v1)["data"]["api"], Json::Value(kTestApi));
  EXPECT_FALSE(Reply(v1)["data"].isMember("version"));
  EXPECT_EQ(Reply(Get(Query("echo", 2)))["data"]["version"], Json::Value(2));
  // The version may also come as text.
  EXPECT_EQ(Reply(Get("api=Lumidex.FrontTest&method=echo&version=%222%22"))["data"]["version"],
            Json::Value(2));
  // Each module answers from its own table although both export the same symbol names.
  EXPECT_EQ(Reply(Get(Query("echo", 1, "Lumidex.FrontTestB")))["data"]["api"],
            Json::Value("Lumidex.FrontTestB"));
  EXPECT_EQ(Reply(Get(Query("fail")))["error"]["code"], Json::Value(4242));
}

TEST_F(FrontTest, UnknownNamesGetTheFrontsOwnErrors) {
  EXPECT_EQ(Get(Query("echo", 1, "Lumidex.Nothing")).out, FrontErrorBytes(102, "Unknown API"));
  EXPECT_EQ(Get("method=echo&version=1").out, FrontErrorBytes(102, "Unknown API"));
  EXPECT_EQ(Get("api=%5B1%5D&method=echo&version=1").out, FrontErrorBytes(102, "Unknown API"));
  EXPECT_EQ(Get(Query("no_such_method")).out, FrontErrorBytes(103, "Unknown method"));
  EXPECT_EQ(Get("api=Lumidex.FrontTest&version=1").out, FrontErrorBytes(103, "Unknown method"));
  EXPECT_EQ(Get(Query("echo", 3)).out, FrontErrorBytes(104, "Unsupported version"));
  EXPECT_EQ(Get(Query("upload", 2)).out, FrontErrorBytes(104, "Unsupported version"));
  EXPECT_EQ(Get("api=Lumidex.FrontTest&method=echo").out,
            FrontErrorBytes(104, "Unsupported version"));
  EXPECT_EQ(Get("api=Lumidex.FrontTest&method=echo&version=one").out,
            FrontErrorBytes(104, "Unsupported version"));
  EXPECT_EQ(Get("").out, FrontErrorBytes(102, "Unknown API"));
}

TEST_F(FrontTest, MissingOrBrokenModulesDoNotStopTheFront) {
  testenv::WriteFile(root.Path(kWebApi) + "/Broken.so", "not a shared library");
  ProcessResult withBroken = Get(Query("echo"));
  EXPECT_EQ(Reply(withBroken)["data"]["api"], Json::Value(kTestApi));
  EXPECT_NE(withBroken.err.find("Broken.so"), std::string::npos) << withBroken.err;

  for (const auto& entry : fs::directory_iterator(root.Path(kWebApi))) {
    if (entry.path().filename() != "Broken.so") fs::remove(entry.path());
  }
  EXPECT_EQ(Get(Query("echo")).out, FrontErrorBytes(101, "No web API module available"));
  fs::remove_all(root.Path(kWebApi));
  EXPECT_EQ(Get(Query("echo")).out, FrontErrorBytes(101, "No web API module available"));
}

// ---- replies

TEST_F(FrontTest, ResultsAreEncodedWithSuccessFirst) {
  EXPECT_EQ(Get(Query("null_success")).out, JsonReplyBytes("{\"success\":true,\"data\":null}"));
  EXPECT_EQ(Get(Query("fail") + "&code=77&message=%22Bad+%5C%22x%5C%22%22").out,
            JsonReplyBytes("{\"success\":false,\"error\":{\"code\":77,\"message\":\"Bad "
                           "\\\"x\\\"\"}}"));
}

TEST_F(FrontTest, ThrowingHandlersGetAnErrorReplyAndNothingOfTheirOutput) {
  ProcessResult thrown = Get(Query("throw"));
  EXPECT_EQ(thrown.out, FrontErrorBytes(106, "Request handler failed"));
  EXPECT_NE(thrown.err.find("handler exploded on purpose"), std::string::npos) << thrown.err;
  EXPECT_EQ(Get(Query("throw_int")).out, FrontErrorBytes(106, "Request handler failed"));
  EXPECT_EQ(Get(Query("write_then_throw")).out, FrontErrorBytes(106, "Request handler failed"));
}

TEST_F(FrontTest, HandlerWritingItsOwnReplyGetsOnlyTheCommonHeadersAdded) {
  const std::string body = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Zoë\r\nEND:VCARD\r\n\n";
  ProcessResult exported = Post(Query("export"), "application/x-www-form-urlencoded",
                                "body=" + testenv::UrlEncode(body));
  EXPECT_EQ(exported.out, kCommonHeaders + std::string("Content-Length: ") +
                              std::to_string(body.size()) +
                              "\r\nContent-Type: text/x-vcard\r\n"
                              "Content-Disposition:attachment; filename=\"Contact.vcf\"\n\n" +
                              body);
  EXPECT_EQ(Get(Query("not_found")).out,
            kCommonHeaders + std::string("Status: 404 Not Found\r\n\r\n"));
  EXPECT_EQ(Get(Query("raw_write")).out,
            kCommonHeaders + std::string("Content-Type: text/plain\r\n\r\nraw-buffered"));
}

TEST_F(FrontTest, HandlerOutputBesideAResultIsDropped) {
  EXPECT_EQ(Get(Query("stray_output")).out,
            JsonReplyBytes("{\"success\":true,\"data\":\"clean\"}"));
}

TEST_F(FrontTest, ProcessesAHandlerStartsDoNotHoldTheReplyOpen) {
  auto started = std::chrono::steady_clock::now();
  ProcessResult result = Get(Query("start_sleeper"));
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  Json::Value reply = Reply(result);
  ASSERT_TRUE(reply["data"].isInt());
  ASSERT_GT(reply["data"].asInt(), 0) << "the sleeper did not start";
  kill(reply["data"].asInt(), SIGKILL);
  // The sleeper lives 10 s; a reply that waited for it would take that long.
  EXPECT_LT(seconds, 5.0);
}

TEST_F(FrontTest, HandlerGivingNoReplyGetsAnErrorReply) {
  EXPECT_EQ(Get(Query("silent")).out, FrontErrorBytes(107, "Request handler gave no reply"));
}

// ---- behind lighttpd

class FrontThroughLighttpdTest : public FrontTest {};

TEST_F(FrontThroughLighttpdTest, LighttpdPassesEveryKindOfReply) {
  testenv::Lighttpd server(root.Dir());
  ASSERT_TRUE(server.Started()) << server.Log();
  const std::string entry = "/webapi/entry.cgi?";
  const std::string signedIn = "Authorization: " + authorization;

  testenv::HttpReply json = testenv::HttpRequest(
      server.Port(), "GET", entry + Query("echo") + "&user=alice&HTTPPort=8008", {signedIn});
  ASSERT_TRUE(json.received) << server.Log();
  EXPECT_EQ(json.status, 200);
  EXPECT_EQ(json.Header("Content-Type"), "application/json");
  Json::Value reply;
  ASSERT_TRUE(ParseJson(json.body, &reply)) << json.raw;
  EXPECT_EQ(reply["data"]["params"]["user"], Json::Value("alice"));
  EXPECT_EQ(reply["data"]["params"]["HTTPPort"], Json::Value(8008));

  const std::string hostile = "O'Brien \"x\"\r\nSet-Cookie: a=b\r\n\r\nZoë";
  testenv::HttpReply echoed = testenv::HttpRequest(
      server.Port(), "GET", entry + Query("echo") + "&note=" + testenv::UrlEncode(hostile),
      {signedIn});
  ASSERT_TRUE(ParseJson(echoed.body, &reply)) << echoed.raw;
  EXPECT_EQ(reply["data"]["params"]["note"], Json::Value(hostile));
  EXPECT_EQ(echoed.CountHeader("Set-Cookie"), 0);

  std::string multipart =
      testenv::MultipartBody("lt", {{"user", "bob"}}, {{"file", "x.vcf", "BEGIN:VCARD\r\n"}});
  testenv::HttpReply upload =
      testenv::HttpRequest(server.Port(), "POST", entry + Query("upload"),
                           {signedIn, "Content-Type: multipart/form-data; boundary=lt"}, multipart);
  ASSERT_TRUE(ParseJson(upload.body, &reply)) << upload.raw;
  EXPECT_EQ(reply["data"]["file"], Json::Value("x.vcf"));
  EXPECT_EQ(reply["data"]["existed"], Json::Value(true));
  EXPECT_FALSE(testenv::FileExists(reply["data"]["file_tmp"].asString()));

  const std::string vcards =
      "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n\nBEGIN:VCARD\r\nFN:Zoë\r\n"
      "END:VCARD\r\n\n";
  testenv::HttpReply download =
      testenv::HttpRequest(server.Port(), "POST", entry + Query("export"),
                           {signedIn, "Content-Type: application/x-www-form-urlencoded"},
                           "body=" + testenv::UrlEncode(vcards));
  EXPECT_EQ(download.status, 200) << download.raw;
  EXPECT_EQ(download.Header("Content-Type"), "text/x-vcard");
  EXPECT_EQ(download.Header("Content-Disposition"), "attachment; filename=\"Contact.vcf\"");
  EXPECT_EQ(download.Header("Content-Length"), std::to_string(vcards.size()));
  EXPECT_EQ(download.CountHeader("Content-Length"), 1);
  EXPECT_EQ(download.body, vcards);

  testenv::HttpReply missing =
      testenv::HttpRequest(server.Port(), "GET", entry + Query("not_found"), {signedIn});
  EXPECT_EQ(missing.status, 404) << missing.raw;
  EXPECT_EQ(missing.statusLine.substr(0, 13), "HTTP/1.0 404 ");
  EXPECT_EQ(missing.body, "");

  testenv::HttpReply unknown = testenv::HttpRequest(
      server.Port(), "GET", entry + Query("echo", 1, "Lumidex.Nothing"), {signedIn});
  EXPECT_EQ(unknown.status, 200);
  EXPECT_EQ(unknown.body,
            "{\"success\":false,\"error\":{\"code\":102,\"message\":\"Unknown API\"}}");
}

}  // namespace
