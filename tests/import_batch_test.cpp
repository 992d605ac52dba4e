// The import's shared commits against the real store: a card the database refuses rolls back
// alone inside its batch, a batch whose commit fails leaves none of its cards and reports each of
// them refused, and the revision rows follow the file's order.
#include <cstring>
#include <string>

#include "db_handler.h"
#include "test_env.h"
#include "webapi.h"

extern "C" ORVA::APITableRow* GetAPITable();

using namespace testenv;

namespace {

class ImportBatch : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    DBHandler store;
    ASSERT_TRUE(store.SetupUserBasicInfo("ada"));
    // The database refuses a card marked REFUSE-NOW at once, and one marked REFUSE-AT-COMMIT
    // only when its transaction commits (a deferred check, as a full disk or a conflict would).
    Caldav::Exec(
        "CREATE FUNCTION refuse_now() RETURNS trigger AS $$ BEGIN IF NEW.vcard_text LIKE "
        "'%REFUSE-NOW%' THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$ LANGUAGE "
        "plpgsql;"
        "CREATE TRIGGER refuse_now BEFORE INSERT ON addressbook_object FOR EACH ROW EXECUTE "
        "FUNCTION refuse_now();"
        "CREATE FUNCTION refuse_at_commit() RETURNS trigger AS $$ BEGIN IF NEW.vcard_text LIKE "
        "'%REFUSE-AT-COMMIT%' THEN RAISE EXCEPTION 'refused at commit'; END IF; RETURN NULL; END "
        "$$ LANGUAGE plpgsql;"
        "CREATE CONSTRAINT TRIGGER refuse_at_commit AFTER INSERT ON addressbook_object DEFERRABLE "
        "INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION refuse_at_commit();");
  }

  // Version 2 of import_cards, which answers with its report.
  ORVA::APIResponse ImportWithReport(const std::string& bytes) {
    const std::string path = root.Path("/upload.vcf");
    WriteFile(path, bytes);
    Json::Value params(Json::objectValue);
    params["user"] = "ada";
    params["file_tmp"] = path;
    params["file"] = "contacts.vcf";
    ORVA::APIRequest request(params);
    ORVA::APIResponse response;
    for (ORVA::APITableRow* row = GetAPITable(); row->api; ++row) {
      if (row->version == 2 && std::strcmp(row->method, "import_cards") == 0) {
        row->handler(&request, &response);
      }
    }
    EXPECT_EQ(1, response.Calls());
    return response;
  }
};

TEST_F(ImportBatch, RefusedCardsRollBackAloneAndAFailedCommitStoresNoneOfItsBatch) {
  // A batch commits once 50 cards are stored in it: 1-50, 51-100, 101-151 (card 150 refused at
  // once), 152-201 and 202-250, whose commit fails on card 220.
  std::string file;
  for (int i = 1; i <= 250; ++i) {
    const std::string mark = i == 150 ? " REFUSE-NOW" : i == 220 ? " REFUSE-AT-COMMIT" : "";
    file += "BEGIN:VCARD\r\nVERSION:3.0\r\nN:Card" + std::to_string(i) + ";;;;\r\nNOTE:n" +
            std::to_string(i) + mark + "\r\nEND:VCARD\r\n";
  }
  const ORVA::APIResponse response = ImportWithReport(file);
  ASSERT_TRUE(response.IsSuccess()) << response.ToJson().toStyledString();
  EXPECT_EQ(200, response.Data()["stored"].asInt());
  std::string refused;
  for (const Json::Value& item : response.Data()["refused"]) {
    refused += std::to_string(item["card"].asInt()) + " ";
    EXPECT_EQ("could not be stored", item["reason"].asString());
  }
  std::string expected = "150 ";
  for (int i = 202; i <= 250; ++i) expected += std::to_string(i) + " ";
  EXPECT_EQ(expected, refused);

  // What was reported stored is in the database, with one revision row each, in file order.
  EXPECT_EQ("200", Caldav::Value("SELECT count(*) FROM addressbook_object"));
  EXPECT_EQ("200", Caldav::Value("SELECT count(*) FROM addressbook_object_revisions r JOIN "
                                 "addressbook_object o USING (resource_name) WHERE NOT deleted"));
  EXPECT_EQ("0",
            Caldav::Value("SELECT count(*) FROM addressbook_object_revisions WHERE "
                          "resource_name <> '' AND resource_name NOT IN (SELECT resource_name FROM "
                          "addressbook_object)"));
  std::string order;
  for (const auto& row :
       Caldav::Query("SELECT substring(o.vcard_text from 'NOTE:n([0-9]+)') FROM "
                     "addressbook_object_revisions r JOIN addressbook_object o USING "
                     "(resource_name) ORDER BY r.revision")) {
    order += row[0] + " ";
  }
  std::string stored;
  for (int i = 1; i <= 201; ++i) {
    if (i != 150) stored += std::to_string(i) + " ";
  }
  EXPECT_EQ(stored, order);
}

}  // namespace
