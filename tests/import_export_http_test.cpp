// Import and download through lighttpd and the CGI front, as a browser and curl use them: a
// multipart upload of a .vcf file, then a download saved under the name the server gives.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "contacts_http.h"

using namespace testenv;

namespace {

// ada signs in as herself, as a user of the pages would.
const char kAdaPassword[] = "ada's pass";

// The cards of a download, each with its line feed, sorted.
std::vector<std::string> CardsOf(const std::string& body) {
  std::vector<std::string> cards;
  const std::string end = "END:VCARD\r\n\n";
  for (size_t at = 0, next; (next = body.find(end, at)) != std::string::npos; at = next) {
    next += end.size();
    cards.push_back(body.substr(at, next - at));
  }
  std::sort(cards.begin(), cards.end());
  return cards;
}

class ImportExportOverHttp : public ContactsOverHttp {
 protected:
  void SetUp() override {
    ContactsOverHttp::SetUp();
    AddUser("ada", kAdaPassword);
  }
};

TEST_F(ImportExportOverHttp, CurlUploadImportsAndTheDownloadIsContactVcf) {
  Lighttpd server(root.Dir());
  ASSERT_TRUE(server.Started()) << server.Log();

  const std::string upload = root.Path("/x.vcf");
  WriteFile(upload, DataFile("phone-v21-qp-crlf.vcf") + DataFile("webmail-v30-lf-cut.vcf"));
  ProcessResult imported = CurlImport(server.Port(), "ada", kAdaPassword, upload);
  ASSERT_EQ(0, imported.exitCode) << imported.err << server.Log();
  EXPECT_EQ("{\"success\":true,\"data\":null}", imported.out);
  EXPECT_EQ("5", Caldav::Value("SELECT count(*) FROM addressbook_object"));

  // Every stored text with the line feed the store adds; the store gives them in no set order.
  std::vector<std::string> cards;
  size_t bodySize = 0;
  for (const Row& row : Caldav::Query("SELECT vcard_text FROM addressbook_object")) {
    cards.push_back(row[0] + "\n");
    bodySize += cards.back().size();
  }
  std::sort(cards.begin(), cards.end());

  // curl names the file after Content-Disposition, as a browser does.
  const std::string downloads = root.Path("/downloads");
  std::filesystem::create_directories(downloads);
  ProcessResult saved = RunProcess(
      {kCurl, "-sS", "-u", std::string("ada:") + kAdaPassword, "-f", "-O", "-J", "--output-dir",
       downloads, Url(server.Port(), "&version=1&method=export_all_cards&user=ada")});
  ASSERT_EQ(0, saved.exitCode) << saved.err << server.Log();
  const std::string body = ReadFile(downloads + "/Contact.vcf");
  EXPECT_EQ(bodySize, body.size());
  EXPECT_EQ(cards, CardsOf(body));
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(downloads)) {
    ++files;
    EXPECT_EQ("Contact.vcf", entry.path().filename().string());
  }
  EXPECT_EQ(1u, files);

  // The headers as the client receives them: one of each, the length in bytes.
  HttpReply reply =
      Get(server.Port(), "&version=1&method=export_all_cards&user=ada", "ada", kAdaPassword);
  ASSERT_TRUE(reply.received) << server.Log();
  EXPECT_EQ(200, reply.status) << reply.raw.substr(0, 400);
  EXPECT_EQ("text/x-vcard", reply.Header("Content-Type"));
  EXPECT_EQ("attachment; filename=\"Contact.vcf\"", reply.Header("Content-Disposition"));
  EXPECT_EQ(std::to_string(bodySize), reply.Header("Content-Length"));
  EXPECT_EQ(1, reply.CountHeader("Content-Length"));
  EXPECT_EQ(body, reply.body);

  // A failure is a real 404 with nothing in it.
  HttpReply missing =
      Get(server.Port(), "&version=1&method=export_cards&user=ada&id=" + UrlEncode("[\"999999\"]"),
          "ada", kAdaPassword);
  EXPECT_EQ(404, missing.status) << missing.raw;
  EXPECT_EQ("", missing.body);
}

}  // namespace
