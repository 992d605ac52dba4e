// Card writes of DBHandler: add, update and delete a card, each with the home's modification
// time and the revision row that tells the daemon's clients what changed.
#include <nettle/md5.h>
#include <uuid/uuid.h>

#include <cctype>
#include <cstdint>
#include <utility>

#include "db_handler.h"
#include "store_log.h"
#include "store_statement.h"

using lumidex::Execute;
using lumidex::Statement;

namespace {
constexpr std::size_t kUuidLength = 36;
constexpr std::size_t kMd5Length = 32;

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The hexadecimal 8-4-4-4-12 form; anything else (a short line with its line feed, nothing at
// all) would become a resource name the daemon's clients cannot address.
bool IsUuid(const std::string& text) {
  if (text.size() != kUuidLength) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? text[i] != '-' : !IsHexDigit(text[i])) return false;
  }
  return true;
}

bool IsMd5(const std::string& text) {
  if (text.size() != kMd5Length) return false;
  for (char c : text) {
    if (!IsHexDigit(c)) return false;
  }
  return true;
}

std::string LibraryUuid() {
  uuid_t id;
  char text[kUuidLength + 1];
  uuid_generate_random(id);
  uuid_unparse_upper(id, text);  // upper case, as the helper prints it
  return text;
}

// Nettle's MD5 rather than OpenSSL's, whose first digest sets up its providers (about a
// millisecond) for this rarely needed fallback.
std::string LibraryMd5(const std::string& bytes) {
  md5_ctx context;
  uint8_t digest[MD5_DIGEST_SIZE];
  md5_init(&context);
  md5_update(&context, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data()));
  md5_digest(&context, sizeof digest, digest);
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (uint8_t byte : digest) {
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

// The helper cannot take a text beyond the single-argument limit (a card with a photo) and may
// fail to start at all; a card is never stored without its digest or under the name ".vcf".
std::string UsableMd5(const std::string& fromHelper, const std::string& text) {
  if (IsMd5(fromHelper)) return fromHelper;
  STORE_LOG("%s:%d No MD5 from the helper, computed in the store");
  return LibraryMd5(text);
}

std::string UsableUuid(const std::string& fromHelper) {
  if (IsUuid(fromHelper)) return fromHelper;
  STORE_LOG("%s:%d No UUID from the helper, made in the store");
  return LibraryUuid();
}

// The statements carry the text through C strings: a NUL byte would silently cut the card, so
// such a card is refused (and logged) instead.
bool StorableText(const std::string& text) {
  if (text.find('\0') == std::string::npos) return true;
  STORE_LOG("%s:%d Card text holds a NUL byte, not stored");
  return false;
}

}  // namespace

bool DBHandler::AddCard(std::string owner, std::string vcardUid, std::string vcardText) {
  const std::string now = GetNowTimeInfo();
  if (!StorableText(vcardText)) return false;
  std::string helperMd5, helperUuid;
  GetMD5AndUUID(vcardText, helperMd5, helperUuid);
  const std::string md5 = UsableMd5(helperMd5, vcardText);
  const std::string resourceName = UsableUuid(helperUuid) + ".vcf";

  // The helper runs above are done before the transaction: no lock waits on a process start.
  const bool written = RunCardWrite([&] {
    std::string homeId;
    if (!LockHome(owner, homeId)) return false;
    if (Execute(_pConnection,
                Statement("INSERT_CARD",
                          "INSERT INTO addressbook_object (addressbook_home_resource_id, "
                          "resource_name, vcard_text, vcard_uid, kind, md5, created, modified) "
                          "VALUES (?, ?, ?, ?,'0', ?, ?, ?)",
                          {homeId, resourceName, vcardText, vcardUid, md5, now, now})) == -1) {
      STORE_LOG("%s:%d Add new Card failed!!");
      return false;
    }
    return UpdateAddressbookHomeMeta(homeId, now) &&
           UpdateAddressbookObjRevision(homeId, resourceName, "f");
  });
  if (!written) return false;
  STORE_LOG("%s:%d Add new Card completely.");
  return true;
}

bool DBHandler::UpdateCard(std::string owner, std::string resourceName, std::string vcardText) {
  bool stale = false;
  return UpdateCard(std::move(owner), std::move(resourceName), std::move(vcardText), "", stale);
}

bool DBHandler::UpdateCard(std::string owner, std::string resourceName, std::string vcardText,
                           std::string expectedMd5, bool& stale) {
  stale = false;
  const std::string now = GetNowTimeInfo();
  if (!StorableText(vcardText)) return false;
  const std::string md5 = UsableMd5(GetMD5(vcardText), vcardText);

  const bool written = lumidex::RunInTransaction(_pConnection, [&] {
    std::string homeId;
    if (!LockHome(owner, homeId) || !StoredMd5Is(homeId, resourceName, expectedMd5, stale))
      return false;
    // The name alone could match another user's card of the same name.
    const int updated =
        Execute(_pConnection,
                Statement("UPDATE_CARD",
                          "UPDATE addressbook_object SET vcard_text=?, md5=?, modified=? WHERE "
                          "resource_name=? and addressbook_home_resource_id=?",
                          {vcardText, md5, now, resourceName, homeId}));
    if (updated == -1) {
      STORE_LOG("%s:%d Update addressbook_object failed!!");
      return false;
    }
    // No card of this owner by that name: a revision row would announce a card that does not
    // exist.
    if (updated == 0) {
      STORE_LOG("%s:%d Card[%s] not found, nothing updated", resourceName.c_str());
      return false;
    }
    return UpdateAddressbookHomeMeta(homeId, now) &&
           UpdateAddressbookObjRevision(homeId, resourceName, "f");
  });
  if (!written) return false;
  STORE_LOG("%s:%d Update Card[%s] completely.", resourceName.c_str());
  return true;
}

bool DBHandler::StoredMd5Is(const std::string& homeId, const std::string& resourceName,
                            const std::string& expectedMd5, bool& stale) {
  if (expectedMd5.empty()) return true;
  std::string storedMd5;
  bool found = false;
  if (!ReadCardRow(homeId, resourceName, true, nullptr, storedMd5, found)) return false;
  if (!found) {
    STORE_LOG("%s:%d Card[%s] not found, nothing updated", resourceName.c_str());
    return false;
  }
  // Someone else's change came in since the caller read the card: it is not overwritten.
  if (storedMd5 != expectedMd5) {
    stale = true;
    STORE_LOG("%s:%d Card[%s] changed since it was read, nothing updated", resourceName.c_str());
    return false;
  }
  return true;
}

bool DBHandler::DelCard(std::string owner, std::string resourceName) {
  const std::string now = GetNowTimeInfo();
  const bool written = lumidex::RunInTransaction(_pConnection, [&] {
    std::string homeId;
    return LockHome(owner, homeId) && DelAddressbookObj(homeId, resourceName) &&
           UpdateAddressbookHomeMeta(homeId, now) &&
           UpdateAddressbookObjRevision(homeId, resourceName, "t");
  });
  if (!written) return false;
  STORE_LOG("%s:%d Delete Card[%s] completely.", resourceName.c_str());
  return true;
}

bool DBHandler::LockHome(std::string owner, std::string& homeId) {
  ReadResourceID(std::move(owner), true, homeId);  // a failed query leaves it empty
  if (!homeId.empty()) return true;
  STORE_LOG("%s:%d Can't find resource ID!!");
  return false;
}

bool DBHandler::DelAddressbookObj(std::string homeId, std::string resourceName) {
  if (Execute(_pConnection, Statement("DELETE_CARD",
                                      "DELETE FROM addressbook_object WHERE "
                                      "addressbook_home_resource_id=? and resource_name=?",
                                      {homeId, resourceName})) != -1) {
    return true;
  }
  STORE_LOG("%s:%d remove card failed!!");
  return false;
}

bool DBHandler::UpdateAddressbookHomeMeta(std::string homeId, std::string modified) {
  if (Execute(_pConnection,
              Statement("UPDATE_HOME_MODIFIED",
                        "UPDATE addressbook_home_metadata SET modified=? WHERE resource_id=?",
                        {modified, homeId})) != -1) {
    return true;
  }
  STORE_LOG("%s:%d DB command failed");
  STORE_LOG("%s:%d Update addressbook_home_meta[%s] failed!!", homeId.c_str());
  return false;
}

bool DBHandler::UpdateAddressbookObjRevision(std::string homeId, std::string resourceName,
                                             std::string deleted) {
  if (Execute(_pConnection, Statement("DELETE_CARD_REVISION",
                                      "DELETE FROM addressbook_object_revisions WHERE "
                                      "addressbook_home_resource_id=? and resource_name=? and "
                                      "deleted='f'",
                                      {homeId, resourceName})) == -1) {
    STORE_LOG("%s:%d remove old revision failed");
    STORE_LOG("%s:%d Update addressbook_obj_rev[%s] failed!!", homeId.c_str());
    return false;
  }
  if (Execute(_pConnection, Statement("INSERT_CARD_REVISION",
                                      "INSERT INTO addressbook_object_revisions "
                                      "(addressbook_home_resource_id, owner_home_resource_id, "
                                      "resource_name, deleted) values (?, ?, ?, ?)",
                                      {homeId, homeId, resourceName, deleted})) == -1) {
    STORE_LOG("%s:%d insert new revision failed");
    STORE_LOG("%s:%d Update addressbook_obj_rev[%s] failed!!", homeId.c_str());
    return false;
  }
  return true;
}
