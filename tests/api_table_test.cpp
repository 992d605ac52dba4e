// The module as the framework sees it: loaded with dlopen, its table and entry functions found
// under their plain names, each entry building and destroying one handler per request.
#include <dlfcn.h>

#include <cstring>

#include "test_env.h"
#include "webapi.h"

using namespace testenv;

namespace {

struct ExpectedRow {
  const char* api;
  const char* method;
  const char* entry;
  int version = 1;
};

const ExpectedRow kRows[] = {
    {"ORVA.ContactAndCalendar.Common", "get", "common_get"},
    {"ORVA.ContactAndCalendar.Common", "set", "common_set"},
    {"ORVA.ContactAndCalendar.Contacts", "list_cards", "contact_list_cards"},
    {"ORVA.ContactAndCalendar.Contacts", "delete_cards", "contact_delete_cards"},
    {"ORVA.ContactAndCalendar.Contacts", "edit_card", "contact_edit_card"},
    {"ORVA.ContactAndCalendar.Contacts", "add_card", "contact_add_card"},
    {"ORVA.ContactAndCalendar.Contacts", "import_cards", "contact_import_cards"},
    {"ORVA.ContactAndCalendar.Contacts", "export_cards", "contact_export_cards"},
    {"ORVA.ContactAndCalendar.Contacts", "export_all_cards", "contact_export_all_cards"},
    {"ORVA.ContactAndCalendar.Contacts", "get_photo", "contact_get_photo"},
    {"ORVA.ContactAndCalendar.Contacts", "import_cards", "contact_import_cards_v2", 2},
    {"ORVA.ContactAndCalendar.Contacts", "list_cards", "contact_list_cards_v2", 2},
};

class LoadedModule : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    module =
        dlopen((BuildDir() + "/webapi/ORVA.ContactAndCalendar.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module) << dlerror();
  }
  void TearDown() override {
    if (module) dlclose(module);
  }
  void* module = nullptr;
};

TEST_F(LoadedModule, TableHasItsRowsInOrderAndAZeroEndRow) {
  using GetTable = ORVA::APITableRow* (*)();
  auto getTable = reinterpret_cast<GetTable>(dlsym(module, "GetAPITable"));
  ASSERT_NE(nullptr, getTable);
  auto* exported = static_cast<ORVA::APITableRow*>(dlsym(module, "gTable"));
  ASSERT_NE(nullptr, exported);
  const ORVA::APITableRow* table = getTable();
  EXPECT_EQ(exported, table);

  for (size_t i = 0; i < sizeof kRows / sizeof kRows[0]; ++i) {
    SCOPED_TRACE(kRows[i].method);
    ASSERT_NE(nullptr, table[i].api);
    EXPECT_STREQ(kRows[i].api, table[i].api);
    EXPECT_EQ(kRows[i].version, table[i].version);
    EXPECT_STREQ(kRows[i].method, table[i].method);
    void* entry = dlsym(module, kRows[i].entry);
    ASSERT_NE(nullptr, entry) << kRows[i].entry << " is not exported under its plain name";
    EXPECT_EQ(entry, reinterpret_cast<void*>(table[i].handler));
  }
  const ORVA::APITableRow& end = table[sizeof kRows / sizeof kRows[0]];
  EXPECT_EQ(nullptr, end.api);
  EXPECT_EQ(0, end.version);
  EXPECT_EQ(nullptr, end.method);
  EXPECT_EQ(nullptr, end.handler);
}

TEST_F(LoadedModule, EveryRequestConnectsAndReleasesItsOwnStore) {
  auto* table = static_cast<ORVA::APITableRow*>(dlsym(module, "gTable"));
  ASSERT_NE(nullptr, table);
  // A Common request never uses the store, but its handler still opens a connection: with the
  // database unreachable that shows as the store's connect message, once per request.
  const char* saved = getenv("PGHOST");
  const std::string host = saved ? saved : "";
  setenv("PGHOST", "/nonexistent-socket-dir", 1);
  for (int i = 0; i < 2; ++i) {
    ORVA::APIRequest request;
    ORVA::APIResponse response;
    table[0].handler(&request, &response);
    EXPECT_EQ(1, response.Calls());
  }
  setenv("PGHOST", host.c_str(), 1);
  EXPECT_EQ(2, Syslog::Count("Can't Connect to SQL DB!!"));
}

}  // namespace
