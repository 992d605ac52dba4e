// Photos and the lean listing through lighttpd and the CGI front, as the pages load them: a
// card's photo as image bytes with its own cache rule and validator, and version 2 of the
// listing without the photo's data.
#include <json/json.h>
#include <openssl/evp.h>

#include <string>

#include "contacts_http.h"
#include "records.h"

using namespace testenv;

namespace {

const char kAdaPassword[] = "ada's pass";
const char kBobPassword[] = "bob's pass";

// The bytes of the file's PHOTO, decoded here with OpenSSL: the value and its folded lines with
// every blank taken out.
std::string PhotoOfFile(const std::string& text) {
  const std::size_t start = text.find("PHOTO;BASE64:");
  if (start == std::string::npos) return "";
  std::string base64;
  std::size_t at = text.find('\n', start) + 1;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
    const std::size_t end = text.find('\n', at);
    for (char c : text.substr(at, end - at)) {
      if (c != ' ' && c != '\t' && c != '\r') base64 += c;
    }
    at = end + 1;
  }
  std::string bytes(base64.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                reinterpret_cast<const unsigned char*>(base64.data()),
                                static_cast<int>(base64.size()));
  if (n < 0) return "";
  std::size_t padding = 0;
  while (padding < base64.size() && base64[base64.size() - 1 - padding] == '=') ++padding;
  bytes.resize(static_cast<std::size_t>(n) - padding);
  return bytes;
}

class PhotoOverHttp : public ContactsOverHttp {
 protected:
  void SetUp() override {
    ContactsOverHttp::SetUp();
    AddUser("ada", kAdaPassword);
    AddUser("bob", kBobPassword);
  }
};

TEST_F(PhotoOverHttp, ThePhotoComesAsItsImageAndTheLeanListingWithoutIt) {
  Lighttpd server(root.Dir());
  ASSERT_TRUE(server.Started()) << server.Log();
  const std::string sample = SampleFolder() + "/apple-addressbook-v30-photo-156k.vcf";
  const std::string jpeg = PhotoOfFile(ReadFile(sample));
  ASSERT_GT(jpeg.size(), 100000u);
  ProcessResult imported = CurlImport(server.Port(), "ada", kAdaPassword, sample);
  ASSERT_EQ("{\"success\":true,\"data\":null}", imported.out) << imported.err << server.Log();
  // A card of bob's without a photo.
  DBHandler store;
  ASSERT_TRUE(store.AddCard(store.GetGUID("bob"), "bob-1",
                            "BEGIN:VCARD\r\nVERSION:3.0\r\nUID:bob-1\r\nFN:Bob\r\nEND:VCARD\r\n"));
  const std::string bobsCard =
      Caldav::Value("SELECT resource_name FROM addressbook_object WHERE vcard_uid='bob-1'");

  // Version 2 holds the record without the photo's data: a few hundred bytes.
  HttpReply lean = Get(server.Port(), "&version=2&method=list_cards&user=ada", "ada", kAdaPassword);
  HttpReply full = Get(server.Port(), "&version=1&method=list_cards&user=ada", "ada", kAdaPassword);
  ASSERT_EQ(200, lean.status) << lean.raw.substr(0, 400);
  EXPECT_LT(lean.body.size(), 1000u) << lean.body;
  EXPECT_GT(full.body.size(), jpeg.size() * 4 / 3);
  const Json::Value leanCard = ParseJson(lean.body)["data"]["cards"][0];
  Json::Value fullCard = ParseJson(full.body)["data"]["cards"][0];
  EXPECT_EQ(Json::Value(true), leanCard["photo"]);
  EXPECT_EQ(Json::Value(Json::arrayValue), leanCard["categories"]);
  // Version 1 is as it was: the same record, the photo's line in `other`.
  const std::string other = fullCard["other"].asString();
  const std::size_t photo = other.find("PHOTO;ENCODING=b");
  ASSERT_NE(std::string::npos, photo) << other.substr(0, 300);
  const std::size_t photoEnd = other.find("\r\n", photo) + 2;
  EXPECT_EQ(other.substr(0, photo) + other.substr(photoEnd), leanCard["other"].asString());
  fullCard["other"] = leanCard["other"];
  fullCard["photo"] = true;
  fullCard["categories"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(fullCard, leanCard);

  // The photo's bytes with their type, kept privately and validated by the card's md5.
  const std::string id = leanCard["id"].asString();
  const std::string query = "&version=1&method=get_photo&user=ada&v=3&id=" + UrlEncode(id);
  HttpReply image = Get(server.Port(), query, "ada", kAdaPassword);
  ASSERT_EQ(200, image.status) << image.raw.substr(0, 400) << server.Log();
  EXPECT_EQ("image/jpeg", image.Header("Content-Type"));
  EXPECT_EQ(1, image.CountHeader("Cache-Control"));
  EXPECT_EQ("private", image.Header("Cache-Control"));
  EXPECT_EQ("nosniff", image.Header("X-Content-Type-Options"));
  EXPECT_EQ("\"" + leanCard["etag"].asString() + "\"", image.Header("ETag"));
  EXPECT_TRUE(jpeg == image.body) << image.body.size() << " bytes, not " << jpeg.size();
  HttpReply again =
      Get(server.Port(), query, "ada", kAdaPassword, {"If-None-Match: " + image.Header("ETag")});
  EXPECT_EQ(304, again.status) << again.raw.substr(0, 400);
  EXPECT_EQ("", again.body);
  HttpReply stale =
      Get(server.Port(), query, "ada", kAdaPassword, {"If-None-Match: \"0123456789abcdef\""});
  EXPECT_EQ(200, stale.status);

  // The JSON replies keep no-store.
  EXPECT_EQ("no-store", lean.Header("Cache-Control"));
  EXPECT_EQ(1, lean.CountHeader("Cache-Control"));

  // Another user's photo is refused as every method refuses it; a card without a photo, or
  // another book's card, is a bare 404.
  HttpReply refusedList =
      Get(server.Port(), "&version=1&method=list_cards&user=ada", "bob", kBobPassword);
  HttpReply refused = Get(server.Port(), query, "bob", kBobPassword);
  EXPECT_NE(200, refused.status);
  EXPECT_EQ(refusedList.status, refused.status);
  EXPECT_EQ(refusedList.body, refused.body);
  for (const std::string& missing :
       {"&version=1&method=get_photo&user=bob&id=" + UrlEncode(id),
        "&version=1&method=get_photo&user=bob&id=" + UrlEncode(bobsCard),
        std::string("&version=1&method=get_photo&user=bob&id=none")}) {
    SCOPED_TRACE(missing);
    HttpReply reply = Get(server.Port(), missing, "bob", kBobPassword);
    EXPECT_EQ(404, reply.status) << reply.raw.substr(0, 300);
    EXPECT_EQ("", reply.body);
  }
}

}  // namespace
