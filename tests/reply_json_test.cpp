// The front's reply encoder against JsonCpp's own writer: every character, every kind of value,
// real card records and random trees give the same bytes; damaged UTF-8 and the streamed reply.
#include "reply_json.h"

#include <iconv.h>
#include <json/reader.h>
#include <json/writer.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>

#include "card_model.h"
#include "test_env.h"

using namespace testenv;

namespace {

std::string JsonCppText(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

std::string Encoded(const Json::Value& value) {
  std::string text;
  front::AppendJson(value, &text);
  return text;
}

// Both encoders agree, and JsonSize counts exactly the bytes written.
::testing::AssertionResult SameAsJsonCpp(const Json::Value& value) {
  const std::string expected = JsonCppText(value);
  const std::string actual = Encoded(value);
  if (actual != expected) {
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure()
           << "differs at byte " << at << ": JsonCpp \"" << expected.substr(at, 40) << "\", ours \""
           << actual.substr(at, 40) << "\"";
  }
  if (front::JsonSize(value) != actual.size()) {
    return ::testing::AssertionFailure()
           << "JsonSize " << front::JsonSize(value) << " for " << actual.size() << " bytes";
  }
  return ::testing::AssertionSuccess();
}

// Whether glibc's converter takes `text` as UTF-8: a check apart from the encoder's own.
bool IsUtf8(const std::string& text) {
  iconv_t converter = iconv_open("UTF-8", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = text;
  std::string out(text.size() + 16, '\0');
  char* inPointer = in.data();
  size_t inLeft = in.size();
  char* outPointer = out.data();
  size_t outLeft = out.size();
  const size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  return result != static_cast<size_t>(-1) && inLeft == 0;
}

void AppendUtf8(unsigned code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
}

TEST(ReplyJsonMatchesJsonCpp, EveryAsciiByteInsideATextAndAsAKey) {
  for (int c = 0; c < 0x80; ++c) {
    const std::string text = "a" + std::string(1, static_cast<char>(c)) + "z";
    Json::Value object(Json::objectValue);
    object[text] = text;
    EXPECT_TRUE(SameAsJsonCpp(Json::Value(text))) << "byte " << c;
    EXPECT_TRUE(SameAsJsonCpp(object)) << "byte " << c;
  }
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(std::string("nul \0 inside", 12))));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value("</script> \"quoted\" back\\slash C:\\path\\")));
}

TEST(ReplyJsonMatchesJsonCpp, EveryUnicodeCharacterWrittenInUtf8) {
  // All scalar values from U+0080 up, a few thousand to a text so that the run stays quick.
  std::string text;
  unsigned checked = 0;
  for (unsigned code = 0x80; code <= 0x10ffff; ++code) {
    if (code >= 0xd800 && code <= 0xdfff) continue;
    AppendUtf8(code, &text);
    text += (code % 7 == 0) ? "\n" : "";
    ++checked;
    if (text.size() > 16000 || code == 0x10ffff) {
      ASSERT_TRUE(SameAsJsonCpp(Json::Value(text))) << "up to U+" << std::hex << code;
      text.clear();
    }
  }
  EXPECT_EQ(0x10ffffu - 0x7fu - 0x800u, checked);
}

TEST(ReplyJsonMatchesJsonCpp, NumbersBooleansNullAndContainers) {
  const double kDoubles[] = {0.0,
                             -0.0,
                             0.1,
                             3.0,
                             -2.5,
                             100.0,
                             1e21,
                             1e-7,
                             123456789.123456789,
                             1e300,
                             -1e-300,
                             DBL_MAX,
                             DBL_MIN,
                             std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             std::nan("")};
  for (double d : kDoubles) EXPECT_TRUE(SameAsJsonCpp(Json::Value(d))) << d;
  for (Json::Int64 i : {Json::Int64(0), Json::Int64(-1), Json::Int64(900), INT64_MIN, INT64_MAX}) {
    EXPECT_TRUE(SameAsJsonCpp(Json::Value(i))) << i;
  }
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(Json::UInt64(UINT64_MAX))));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(true)));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(false)));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value()));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(Json::arrayValue)));
  EXPECT_TRUE(SameAsJsonCpp(Json::Value(Json::objectValue)));

  // Short arrays of plain values and arrays of objects take different paths in JsonCpp.
  Json::Value tree(Json::objectValue);
  tree["types"].append("HOME");
  tree["types"].append("pref");
  tree["numbers"].append(1);
  tree["numbers"].append(-2.5);
  tree["numbers"].append(Json::Value());
  tree["nested"]["deeper"][0]["x"] = Json::Value(Json::objectValue);
  tree["nested"]["deeper"][1] = Json::Value(Json::arrayValue);
  tree["nested"]["deeper"][2]["y"].append(Json::Value(Json::arrayValue));
  tree[""] = "empty key";
  tree["Zebra"] = "capitals sort first";
  tree["zz\xc3\xa9"] = "key outside ASCII";
  tree[std::string("a\0b", 3)] = "key with NUL";
  for (int i = 0; i < 40; ++i) tree["long"].append("element " + std::to_string(i));
  EXPECT_TRUE(SameAsJsonCpp(tree));
}

// Random trees of random valid texts: the cases nobody thought of.
TEST(ReplyJsonMatchesJsonCpp, RandomTreesOfValidText) {
  std::mt19937 random(20240601);
  auto randomText = [&] {
    std::string text;
    const int length = random() % 24;
    for (int i = 0; i < length; ++i) {
      switch (random() % 4) {
        case 0:
          text.push_back(static_cast<char>(random() % 0x80));
          break;
        case 1:
          AppendUtf8(0x80 + random() % 0x780, &text);
          break;
        case 2:
          AppendUtf8(0x800 + random() % (0xd800 - 0x800), &text);
          break;
        default:
          AppendUtf8(0x10000 + random() % 0x100000, &text);
      }
    }
    return text;
  };
  std::function<Json::Value(int)> randomValue = [&](int depth) -> Json::Value {
    const int kind = depth > 3 ? random() % 3 : random() % 5;
    if (kind == 0) return Json::Value(randomText());
    if (kind == 1) return random() % 2 ? Json::Value() : Json::Value(random() % 2 == 0);
    if (kind == 2) return Json::Value(static_cast<Json::Int64>(random()) - 2000000000);
    Json::Value container(kind == 3 ? Json::arrayValue : Json::objectValue);
    const int size = random() % 6;
    for (int i = 0; i < size; ++i) {
      if (kind == 3) {
        container.append(randomValue(depth + 1));
      } else {
        container[randomText()] = randomValue(depth + 1);
      }
    }
    return container;
  };
  for (int round = 0; round < 2000; ++round) {
    ASSERT_TRUE(SameAsJsonCpp(randomValue(0))) << "round " << round;
  }
}

// The records the listing sends, read from real cards: the reply bytes stay what they were.
class ReplyJsonOfCards : public ::testing::Test {
 protected:
  Json::Value Read(const std::string& text) {
    Json::Value record = card::ReadRecord(text);
    record["id"] = "card.vcf";
    record["resource_id"] = "17";
    return record;
  }
};

TEST_F(ReplyJsonOfCards, CardRecordsAreEncodedAsBefore) {
  Json::Value listing(Json::objectValue);
  listing["cards"].append(Read(
      "BEGIN:VCARD\r\nVERSION:3.0\r\nN:M\xc3\xbcller;J\xc3\xbcrgen;;;\r\nORG:B\xc3\xa4"
      "ckerei \"Zum Korn\";\r\nitem1.EMAIL;type=INTERNET:j@example.de\r\n"
      "item1.X-ABLabel:_$!<Work>!$_\r\nTEL;type=CELL:+49 30 1234\r\n"
      "NOTE:Line one\\nline two \xe2\x98\x95 \xf0\x9f\x8e\x82\r\n\ttab-folded\r\nEND:VCARD\r\n"));
  listing["cards"].append(Read(
      "BEGIN:VCARD\nVERSION:3.0\nN:\xe5\xb1\xb1\xe7\x94\xb0;\xe5\xa4\xaa\xe9\x83\x8e;;;\n"
      "item2.ADR;type=HOME:;;1-2-3 \xe6\xb8\x8b\xe8\xb0\xb7;Tokyo;;150-0002;Japan\n"
      "item2.X-ABLabel:\xe5\xae\x9f\xe5\xae\xb6\nURL:https://example.jp/a?b=c&d\\e\nEND:VCARD\n"));
  EXPECT_TRUE(SameAsJsonCpp(listing));

  // The sample files, as far as their text is UTF-8 (the database refuses any other); the
  // others still give JSON that reads back.
  if (!std::filesystem::is_directory(SampleFolder())) return;
  int compared = 0;
  for (const std::string& name : SampleFiles()) {
    const std::string text = SampleFile(name);
    // The listing writes each record as text straight from its fields: the bytes of the record's
    // value encoded whole, in both versions of the listing.
    for (const bool lean : {false, true}) {
      card::Record fields;
      card::Read(text, lean, fields);
      std::string written;
      card::AppendListedJson(fields, {"card \"1\".vcf", "17", "0cc175b9c0f1b6a8"}, &written);
      Json::Value value = card::ToJson(fields);
      value["id"] = "card \"1\".vcf";
      value["resource_id"] = "17";
      value["etag"] = "0cc175b9c0f1b6a8";
      EXPECT_EQ(Encoded(value), written) << name << (lean ? " (version 2)" : "");
    }
    const Json::Value record = Read(text);
    if (IsUtf8(text)) {
      EXPECT_TRUE(SameAsJsonCpp(record)) << name;
      ++compared;
      continue;
    }
    Json::Value back;
    std::string errors;
    const std::string json = Encoded(record);
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(json.data(), json.data() + json.size(), &back, &errors))
        << name << ": " << errors;
    EXPECT_NE(std::string::npos, json.find("\\ufffd")) << name;
  }
  EXPECT_GE(compared, 20);
}

// A byte outside every valid UTF-8 sequence becomes U+FFFD by itself; what follows it is read as
// if it began the text, so no character after damage is lost.
TEST(ReplyJsonDamagedText, EachStrayByteBecomesOneReplacementCharacter) {
  const struct {
    std::string text;
    const char* json;
  } kCases[] = {
      {"x\xffy", "\"x\\ufffdy\""},
      {"\x80", "\"\\ufffd\""},
      {"\xc3y", "\"\\ufffdy\""},                                 // lead byte before ASCII
      {"\xc3", "\"\\ufffd\""},                                   // cut at the end
      {"\xe2\x82", "\"\\ufffd\\ufffd\""},                        // cut three-byte form
      {"\xe2\x82\xac\xe2", "\"\\u20ac\\ufffd\""},                // a good one, then a cut one
      {"\xc0\x80", "\"\\ufffd\\ufffd\""},                        // overlong NUL
      {"\xe0\x9f\xbf", "\"\\ufffd\\ufffd\\ufffd\""},             // overlong U+07FF
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},             // a surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // past U+10FFFF
      {"\xf5\xbf", "\"\\ufffd\\ufffd\""},
      {"\xc3\xa9\xa9", "\"\\u00e9\\ufffd\""},  // one continuation byte too many
      {"\xf0\x9f\x98\x80\xf0\x9f\x98", "\"\\ud83d\\ude00\\ufffd\\ufffd\\ufffd\""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.json, Encoded(Json::Value(c.text))) << c.json;
    EXPECT_EQ(std::strlen(c.json), front::JsonSize(Json::Value(c.text))) << c.json;
  }
}

// The reply as it leaves the front: header lines, then the body the old encoder produced.
class ReplyJsonWritten : public ::testing::Test {
 protected:
  // Runs WriteJsonReply into an in-memory file and gives back what it wrote.
  std::string Written(const ORVA::APIResponse& response, bool* ok) {
    const int fd = memfd_create("reply", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    *ok = front::WriteJsonReply(fd, response);
    std::string bytes;
    char buffer[65536];
    ssize_t n = 0;
    off_t offset = 0;
    while ((n = pread(fd, buffer, sizeof buffer, offset)) > 0) {
      bytes.append(buffer, static_cast<size_t>(n));
      offset += n;
    }
    close(fd);
    return bytes;
  }

  // The common header lines of every reply of the front come first.
  static std::string Reply(const std::string& body) {
    return "X-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: default-src 'self'; img-src 'self' data:; object-src 'none';"
           " base-uri 'none'; form-action 'self'; frame-ancestors 'none'\r\n"
           "Cache-Control: no-store\r\n"
           "Content-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
  }
};

TEST_F(ReplyJsonWritten, SuccessAndErrorRepliesWithTheirLength) {
  Json::Value data(Json::objectValue);
  data["cards"] = Json::Value(Json::arrayValue);
  ORVA::APIResponse success;
  success.SetSuccess(data);
  bool ok = false;
  EXPECT_EQ(Reply("{\"success\":true,\"data\":{\"cards\":[]}}"), Written(success, &ok));
  EXPECT_TRUE(ok);
  EXPECT_EQ("{\"success\":true,\"data\":{\"cards\":[]}}", front::JsonBody(success));

  ORVA::APIResponse error;
  error.SetError(900, Json::Value("Request lost parameters"));
  EXPECT_EQ(Reply("{\"success\":false,\"error\":{\"code\":900,\"message\":\"Request lost "
                  "parameters\"}}"),
            Written(error, &ok));
  EXPECT_TRUE(ok);
}

TEST_F(ReplyJsonWritten, RepliesLargerThanTheBufferArriveWhole) {
  // Many small pieces across buffer boundaries, and single texts larger than the buffer.
  Json::Value data(Json::objectValue);
  for (int i = 0; i < 30000; ++i) data["cards"].append("card \xc3\xa9 " + std::to_string(i));
  data["photo"] = std::string(200000, 'P');
  data["quotes"] = std::string(70000, '"');
  ORVA::APIResponse response;
  response.SetSuccess(data);
  bool ok = false;
  const std::string written = Written(response, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Reply("{\"success\":true,\"data\":" + JsonCppText(data) + "}"), written);
}

TEST_F(ReplyJsonWritten, FailedWriteIsReported) {
  int pipeFds[2];
  ASSERT_EQ(0, pipe(pipeFds));
  close(pipeFds[0]);
  ORVA::APIResponse response;
  response.SetSuccess(Json::Value("x"));
  // Writing to a pipe without a reader fails (EPIPE; SIGPIPE is ignored for the test).
  sighandler_t old = signal(SIGPIPE, SIG_IGN);
  EXPECT_FALSE(front::WriteJsonReply(pipeFds[1], response));
  signal(SIGPIPE, old);
  close(pipeFds[1]);
  EXPECT_FALSE(front::WriteJsonReply(-1, response));
}

}  // namespace
