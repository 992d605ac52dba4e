// User provisioning: the address-book home, its metadata row and the address book's revision
// row for a user who has none yet.
#include <utility>

#include "db_handler.h"
#include "store_log.h"
#include "store_statement.h"

using lumidex::Execute;
using lumidex::Statement;

bool DBHandler::SetupUserBasicInfo(std::string shortName) {
  const std::string now = GetNowTimeInfo();
  const std::string guid = SetGUID(shortName);
  if (guid.empty()) return false;
  // One transaction: a home is never left without its metadata or its address book, and a user
  // whose provisioning failed has no home, so the next listing or add provisions it again.
  const bool created = lumidex::RunInTransaction(_pConnection, [&] {
    if (IsUserExist(guid)) return false;
    if (!InsertAddressbookHome(guid)) {
      STORE_LOG("%s:%d Create user account failed!!");
      return false;
    }
    const std::string homeId = GetResourceID(guid);
    if (homeId.empty()) return false;
    if (!InsertAddressbookHomeMeta(homeId, now)) {
      STORE_LOG("%s:%d Create user resource failed!!");
      return false;
    }
    if (!InsertAddressbookObjRevision(homeId, "addressbook", "", "F")) {
      STORE_LOG("%s:%d Create user addressbook failed!!");
      return false;
    }
    return true;
  });
  if (!created) return false;
  STORE_LOG("%s:%d Add new user[%s] info to DB done.", shortName.c_str());
  return true;
}

bool DBHandler::HomeIsMissing(std::string owner) {
  std::string homeId;
  return ReadResourceID(std::move(owner), false, homeId) && homeId.empty();
}

bool DBHandler::InsertAddressbookHome(std::string owner) {
  return Execute(_pConnection,
                 Statement("INSERT_HOME",
                           "INSERT INTO addressbook_home (owner_uid, dataversion) VALUES (?, '2')",
                           {owner})) != -1;
}

bool DBHandler::InsertAddressbookHomeMeta(std::string homeId, std::string now) {
  return Execute(_pConnection, Statement("INSERT_HOME_METADATA",
                                         "INSERT INTO addressbook_home_metadata (resource_id, "
                                         "quota_used_bytes, created, modified) VALUES (?, '0', "
                                         "?, ?)",
                                         {homeId, now, now})) != -1;
}

bool DBHandler::InsertAddressbookObjRevision(std::string homeId, std::string addressbookName,
                                             std::string resourceName, std::string deleted) {
  return Execute(_pConnection,
                 Statement("INSERT_ADDRESSBOOK_REVISION",
                           "INSERT INTO addressbook_object_revisions "
                           "(addressbook_home_resource_id, owner_home_resource_id, "
                           "addressbook_name, resource_name, deleted) VALUES (?, ?, "
                           "?, ?, ?)",
                           {homeId, homeId, addressbookName, resourceName, deleted})) != -1;
}
