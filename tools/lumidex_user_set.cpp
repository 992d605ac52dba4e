// lumidex_user_set: moves every card of one user's address book to another user name, for an
// account whose name has changed. Run by hand or by the appliance's user-rename hooks.
#include <getopt.h>
#include <syslog.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "db_handler.h"

static void ShowHelp() {
  std::cerr << "/var/packages/Lumidex/target/tool/lumidex_user_set "
            << "-o [OrgName] "
            << "-n [NewName]" << std::endl;
  std::cerr << "example: lumidex_user_set -o beforechange -n afterchange " << std::endl;
}

// The bytes after the first "UID:" up to the next carriage return; "" when either is missing.
static std::string GetVcardUID(const std::string& vcardText) {
  static const std::string kUidTag = "UID:";
  const std::size_t tag = vcardText.find(kUidTag);
  if (tag == std::string::npos) return "";
  const std::size_t lineEnd = vcardText.find('\r', tag);
  if (lineEnd == std::string::npos) return "";
  const std::size_t value = tag + kUidTag.size();
  return vcardText.substr(value, lineEnd - value);
}

// False when any card stayed behind with the old user, the new user could not be set up, or a
// lookup or the card list could not be read. An old user without an address book has nothing to
// move: that is a success.
static bool CardDAVUserMigrate(std::string OrgName, std::string NewName) {
  DBHandler handler;
  // A mapping that cannot be read is not an unknown user: reporting "nothing to move" would
  // leave the cards behind unnoticed.
  std::string OrgGUID;
  if (!handler.LookupGUID(OrgName, OrgGUID)) return false;
  if (OrgGUID.empty()) return true;

  std::string NewGUID;
  if (!handler.LookupGUID(NewName, NewGUID)) return false;
  if (NewGUID.empty() || handler.HomeIsMissing(NewGUID)) {
    handler.SetupUserBasicInfo(NewName);
    if (!handler.LookupGUID(NewName, NewGUID)) return false;
  }
  if (NewGUID.empty()) return false;    // no copy could be stored anywhere
  if (NewGUID == OrgGUID) return true;  // the cards are already where they belong

  Json::Value ResourceName(Json::arrayValue);
  Json::Value UnparsedCards(Json::arrayValue);
  Json::Value ResourceID(Json::arrayValue);
  Json::Value Md5s(Json::arrayValue);
  unsigned int Count = 0;
  if (!handler.GetCards(ResourceName, UnparsedCards, OrgGUID, ResourceID, Md5s, Count)) {
    return false;
  }

  bool everyCardMoved = true;
  for (unsigned int i = 0; i < Count; ++i) {
    const Json::Value& text = UnparsedCards[i];
    const Json::Value& name = ResourceName[i];
    if (!text.isString() || !name.isString()) {
      everyCardMoved = false;
      continue;
    }
    const std::string VcardText = text.asString();
    const std::string VcardUID = GetVcardUID(VcardText);
    // The old card goes only once its copy is stored: a card is never lost, at worst it stays.
    if (!handler.AddCard(NewGUID, VcardUID, VcardText)) {
      everyCardMoved = false;
      continue;
    }
    if (!handler.DelCard(OrgGUID, name.asString())) everyCardMoved = false;
  }
  return everyCardMoved;
}

int main(int argc, char** argv) {
  std::string OrgName;
  std::string NewName;
  opterr = 0;  // the usage text is the whole answer to a wrong option
  int option;
  while ((option = getopt(argc, argv, "o:n:")) != -1) {
    switch (option) {
      case 'o':
        OrgName = optarg;
        break;
      case 'n':
        NewName = optarg;
        break;
      default:
        ShowHelp();
        return -1;
    }
  }
  if (!CardDAVUserMigrate(OrgName, NewName)) {
    syslog(LOG_ERR, "%s:%d Set User Fail, stOrgName = %s, stNewName = %s", "lumidex_user_set",
           __LINE__, OrgName.c_str(), NewName.c_str());
    return -1;
  }
  return 0;
}
