// The listing as the front streams it, against the same listing collected into one result and
// encoded whole: the same bytes for every sample card (as stored and as imported) and for a
// search, and a store failure before the first record still answers its documented error.
#include <brotli/decode.h>
#include <iconv.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>

#include "body_coding.h"
#include "db_handler.h"
#include "reply_headers.h"
#include "reply_json.h"
#include "reply_stream.h"
#include "test_env.h"
#include "vcard_import.h"

extern "C" void contact_list_cards(ORVA::APIRequest* request, ORVA::APIResponse* response);

using namespace testenv;

namespace {

bool IsUtf8(const std::string& text) {
  iconv_t converter = iconv_open("UTF-8", "UTF-8");
  std::string copy = text;
  char* in = copy.data();
  size_t inLeft = copy.size();
  std::string out(copy.size() + 4, '\0');
  char* outPtr = out.data();
  size_t outLeft = out.size();
  const bool ok = iconv(converter, &in, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(converter);
  return ok && text.find('\0') == std::string::npos;
}

// A compressed body decoded again; "(undecodable)" when it is no whole stream of its coding.
std::string Decoded(front::BodyCoding coding, const std::string& body) {
  std::string out;
  char chunk[16384];
  if (coding == front::BodyCoding::kBrotli) {
    BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
    const auto* in = reinterpret_cast<const uint8_t*>(body.data());
    std::size_t available = body.size();
    BrotliDecoderResult result;
    do {
      auto* next = reinterpret_cast<uint8_t*>(chunk);
      std::size_t room = sizeof chunk;
      result = BrotliDecoderDecompressStream(state, &available, &in, &room, &next, nullptr);
      out.append(chunk, sizeof chunk - room);
    } while (result == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT);
    BrotliDecoderDestroyInstance(state);
    return result == BROTLI_DECODER_RESULT_SUCCESS && available == 0 ? out : "(undecodable)";
  }
  z_stream stream{};
  if (inflateInit2(&stream, 15 + 16) != Z_OK) return "(undecodable)";
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  int rc;
  do {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&stream);
  return rc == Z_STREAM_END && stream.avail_in == 0 ? out : "(undecodable)";
}

class StreamedListing : public StoreTest {
 protected:
  Json::Value Params(const char* searchKey) {
    Json::Value params(Json::objectValue);
    params["user"] = "ann";
    if (searchKey) params["search_key"] = searchKey;
    return params;
  }

  // The reply collected into one result and encoded whole, as the front encodes a tree.
  ORVA::APIResponse Collected(const char* searchKey) {
    ORVA::APIRequest request(Params(searchKey));
    ORVA::APIResponse response;
    contact_list_cards(&request, &response);
    EXPECT_EQ(1, response.Calls());
    return response;
  }

  // What the front's stream wrote to the client for the same request; `response` keeps the
  // result, if any, the handler set instead.
  std::string Streamed(const char* searchKey, ORVA::APIResponse& response,
                       front::BodyCoding coding = front::BodyCoding::kIdentity) {
    const int fd = memfd_create("streamed-reply", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    {
      front::ClientStream stream(fd, coding);
      ORVA::APIRequest request(Params(searchKey));
      response.SetStream(&stream);
      contact_list_cards(&request, &response);
      response.SetStream(nullptr);
      EXPECT_TRUE(stream.Flush());
      EXPECT_TRUE(stream.Complete());
    }
    std::string bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), pread(fd, bytes.data(), bytes.size(), 0));
    close(fd);
    return bytes;
  }

  std::string Home() {
    DBHandler store;
    store.SetupUserBasicInfo("ann");
    return Caldav::HomeOf(store.GetGUID("ann"));
  }

  void Store(const std::string& home, const std::string& name, const std::string& text) {
    Caldav::InsertCard(home, name, text, "uid-" + name, Md5Hex(text));
  }
};

TEST_F(StreamedListing, StreamedBytesAreThoseOfTheWholeResultForEverySampleCard) {
  ASSERT_TRUE(std::filesystem::is_directory(SampleFolder())) << SampleFolder();
  const std::string home = Home();
  int stored = 0;
  for (const std::string& name : SampleFiles()) {
    const std::string text = SampleFile(name);
    // As a phone stored it (the database holds UTF-8 only), and as the import stores it.
    if (IsUtf8(text)) Store(home, name, text);
    int number = 0;
    vcard::ReadCardsOfFile(
        SampleFolder() + "/" + name, [&] { return "uid-" + std::to_string(++number); },
        [&](const vcard::ImportedCard& card) {
          Store(home, name + "#" + std::to_string(card.number), card.text);
          ++stored;
        },
        [](const vcard::ImportedCard&) {});
  }
  ASSERT_GE(stored, 28);

  for (const char* search : {static_cast<const char*>(nullptr), "a", "M\xc3\xbcller", "zzz"}) {
    const std::string label = search ? search : "(no search)";
    const ORVA::APIResponse whole = Collected(search);
    ASSERT_TRUE(whole.IsSuccess()) << label;
    ORVA::APIResponse response;
    const std::string streamed = Streamed(search, response);
    EXPECT_EQ(std::string(front::kReplyHeaders) + "Content-Type: application/json\r\n\r\n" +
                  front::JsonBody(whole),
              streamed)
        << label;
    EXPECT_EQ(1, response.Calls()) << label;
    if (!search) {
      EXPECT_LE(Json::ArrayIndex(stored), whole.Data()["cards"].size());
    }
  }

  // For a client that takes it compressed: plain header lines naming the coding, and a body that
  // decodes to the same bytes (flushed block by block, the photos make it several blocks).
  const std::string body = front::JsonBody(Collected(nullptr));
  ASSERT_GT(body.size(), 3u * 64 * 1024);
  for (const front::BodyCoding coding : {front::BodyCoding::kBrotli, front::BodyCoding::kGzip}) {
    ORVA::APIResponse response;
    const std::string coded = Streamed(nullptr, response, coding);
    const std::size_t end = coded.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, end);
    EXPECT_EQ(std::string(front::kReplyHeaders) + front::ContentEncodingLine(coding) +
                  "Content-Type: application/json",
              coded.substr(0, end));
    EXPECT_LT(coded.size() - end, body.size());
    EXPECT_EQ(body, Decoded(coding, coded.substr(end + 4)));
  }
}

TEST(ListCoding, BrotliBeforeGzipAndNeitherWhenRefused) {
  const struct {
    const char* header;
    front::BodyCoding coding;
  } kCases[] = {
      {nullptr, front::BodyCoding::kIdentity},
      {"", front::BodyCoding::kIdentity},
      {"gzip, deflate, br", front::BodyCoding::kBrotli},
      {"gzip, deflate", front::BodyCoding::kGzip},
      {" BR ;q=1", front::BodyCoding::kBrotli},
      {"br;q=0, gzip;q=0.5", front::BodyCoding::kGzip},
      {"br;q=0.000, x-gzip", front::BodyCoding::kGzip},
      {"gzip;q=0, br;q=0.0", front::BodyCoding::kIdentity},
      {"identity, deflate, brotli, gzipped", front::BodyCoding::kIdentity},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.coding, front::ListCoding(c.header)) << (c.header ? c.header : "(none)");
  }
}

TEST_F(StreamedListing, AnEmptyAddressBookStreamsAnEmptyList) {
  Home();
  ORVA::APIResponse response;
  EXPECT_EQ(std::string(front::kReplyHeaders) +
                "Content-Type: application/json\r\n\r\n{\"success\":true,\"data\":{\"cards\":[]}}",
            Streamed(nullptr, response));
}

TEST_F(StreamedListing, AStoreFailureBeforeTheFirstRecordIsAnsweredAsTheError) {
  Store(Home(), "john.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Doe;John;;;\r\nEND:VCARD\r\n");
  const char* saved = std::getenv("PGHOST");
  const std::string pghost = saved ? saved : "";
  setenv("PGHOST", "/nonexistent-socket-dir", 1);
  ORVA::APIResponse response;
  const std::string streamed = Streamed(nullptr, response);
  saved ? setenv("PGHOST", pghost.c_str(), 1) : unsetenv("PGHOST");
  EXPECT_EQ("", streamed);
  EXPECT_EQ(1, response.Calls());
  EXPECT_EQ(1012, response.ErrorCode());
  EXPECT_EQ(
      "{\"success\":false,\"error\":{\"code\":1012,\"message\":\"Fail to read cards from DB\"}}",
      front::JsonBody(response));
}

}  // namespace
