// Add, edit and delete of single contacts ("add_card", "edit_card", "delete_cards"): each checks
// its parameters and their JSON types, looks the user up, writes through the store and replies
// once. The card text comes from the card model.
#include <string>

#include "card_model.h"
#include "card_record.h"
#include "contact_and_calendar_handler.h"

namespace {

const char kSetCardFailed[] = "Fail to set card";
const char kCardChanged[] = "Card changed since it was read";
const char kNeedParameter[] = "Incorrect parameter: Need ";
const char kTypeNotWritable[] = "Type word can't be written";

bool IsTextOrNull(const Json::Value& value) { return value.isNull() || value.isString(); }

// The first member of a card record whose JSON type the writer cannot use, as
// "card.tel[1].type(array)"; "" when the record is sound. Missing members and nulls are sound:
// they read as empty.
std::string WrongCardType(const Json::Value& card) {
  if (card.isNull()) return "";
  if (!card.isObject()) return "card(object)";
  for (const char* key : {"id", "other", "note", "bday", "resource_name"}) {
    if (!IsTextOrNull(card[key])) return std::string("card.") + key + "(string)";
  }
  const struct {
    const char* key;
    const char* fields[3];
  } parts[] = {{"name", {"family_name", "given_name", "additional_name"}},
               {"company", {"org", "title", nullptr}}};
  for (const auto& part : parts) {
    const Json::Value& object = card[part.key];
    if (object.isNull()) continue;
    std::string where = std::string("card.") + part.key;
    if (!object.isObject()) return where + "(object)";
    for (const char* field : part.fields) {
      if (field && !IsTextOrNull(object[field])) return where + "." + field + "(string)";
    }
  }
  const Json::Value& categories = card["categories"];
  if (!categories.isNull() && !categories.isArray()) return "card.categories(array)";
  for (Json::ArrayIndex i = 0; i < categories.size(); ++i) {
    if (!IsTextOrNull(categories[i])) return "card.categories[" + std::to_string(i) + "](string)";
  }
  // The photo is written as the value of one line: only base64 text may stand there. The
  // listing's true or false, sent back, leaves the photo as stored.
  const Json::Value& photo = card["photo"];
  if (!IsTextOrNull(photo) && !photo.isBool()) return "card.photo(string)";
  if (photo.isString() &&
      photo.asString().find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                         "0123456789+/=") != std::string::npos)
    return "card.photo(base64)";
  for (const char* list : {"mail", "tel", "adr", "url"}) {
    const Json::Value& entries = card[list];
    if (entries.isNull()) continue;
    std::string where = std::string("card.") + list;
    if (!entries.isArray()) return where + "(array)";
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
      const Json::Value& entry = entries[i];
      std::string at = where + "[" + std::to_string(i) + "]";
      if (entry.isNull()) continue;
      if (!entry.isObject()) return at + "(object)";
      for (const char* field : {"key", "cust_name", "data"}) {
        if (!IsTextOrNull(entry[field])) return at + "." + field + "(string)";
      }
      const Json::Value& types = entry["type"];
      if (types.isNull()) continue;
      if (!types.isArray()) return at + ".type(array)";
      for (Json::ArrayIndex t = 0; t < types.size(); ++t) {
        if (!IsTextOrNull(types[t])) return at + ".type[" + std::to_string(t) + "](string)";
      }
    }
  }
  return "";
}

}  // namespace

const ContactAndCalendarHandler::Refusal kBadUserOfACard = {1011, kSetCardFailed,
                                                            "check type of user(string)"};

bool ContactAndCalendarHandler::refuseUnfitCard(int line, const Json::Value& card,
                                                const std::string& wrongType) {
  if (!wrongType.empty()) {
    refuse(line, 1011, kSetCardFailed, "check type of " + wrongType);
    return true;
  }
  const std::string unwritable = card::UnwritableType(card);
  if (unwritable.empty()) return false;
  refuse(line, 1015, kTypeNotWritable, std::string(kTypeNotWritable) + ": card." + unwritable);
  return true;
}

void ContactAndCalendarHandler::addCard() {
  if (!hasParams(__LINE__, {"card", "user"})) return;
  const Json::Value card = _request->GetParam("card", Json::Value());
  // Refused before the lookup, which may provision the user: a refused add changes nothing.
  if (refuseUnfitCard(__LINE__, card, WrongCardType(card))) return;
  std::string guid;
  if (!findUser(__LINE__, true, kBadUserOfACard, guid)) return;
  const std::string uuid = _dbHandler.GetUUID();
  if (uuid.empty()) {
    refuse(__LINE__, 1011, kSetCardFailed, "Can't get a UID for the new card");
    return;
  }
  if (_dbHandler.AddCard(guid, uuid, card::NewCardText(card, uuid))) {
    _response->SetSuccess(Json::Value());
  } else {
    refuse(__LINE__, 1011, kSetCardFailed, "");  // the store logged why
  }
}

void ContactAndCalendarHandler::editCard() {
  if (!hasParams(__LINE__, {"card", "user"})) return;
  std::string guid;
  if (!findUser(__LINE__, false, kBadUserOfACard, guid)) return;
  if (guid.empty()) {
    _response->SetSuccess(Json::Value());
    return;
  }
  const Json::Value card = _request->GetParam("card", Json::Value());
  // Type words are refused whether or not the edit would write that entry's types: one rule for
  // every record.
  if (refuseUnfitCard(__LINE__, card, card.isNull() ? "card(object)" : WrongCardType(card))) return;
  // The edit changes the stored card: only what the record changes is written, the rest stays
  // as stored. A card that cannot be read is not written at all. An `etag` (the md5 the listing
  // gave) refuses the edit of a card changed since.
  const std::string resourceName = record::Text(card["resource_name"]);
  const std::string etag = record::Text(card["etag"]);
  std::string stored, md5, merged;
  bool found = false;
  if (resourceName.empty() || !_dbHandler.GetCard(guid, resourceName, stored, md5, found)) {
    refuse(__LINE__, 1011, kSetCardFailed, "Can't read the card to edit");
    return;
  }
  if (!etag.empty() && etag != md5) {
    refuse(__LINE__, 1013, kCardChanged);
    return;
  }
  card::MergeEdit(stored, card, merged);
  bool stale = false;
  if (_dbHandler.UpdateCard(guid, resourceName, merged, etag, stale)) {
    _response->SetSuccess(Json::Value());
  } else if (stale) {
    refuse(__LINE__, 1013, kCardChanged);
  } else {
    refuse(__LINE__, 1011, kSetCardFailed, "");  // the store logged why
  }
}

void ContactAndCalendarHandler::deleteCards() {
  if (!hasParams(__LINE__, {"user", "id"})) return;
  const Json::Value ids = _request->GetParam("id", Json::Value());
  std::string guid;
  if (!findUser(__LINE__, false, {901, kNeedParameter, "check type of user(string)"}, guid)) return;
  if (guid.empty()) {
    _response->SetSuccess(Json::Value());
    return;
  }
  if (!ids.isArray()) {
    refuse(__LINE__, 901, kNeedParameter, "check type of id(array)");
    return;
  }
  // Every element is checked before the first delete, so a bad list deletes nothing.
  for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
    if (!ids[i].isString()) {
      refuse(__LINE__, 901, kNeedParameter, "check type of id[" + std::to_string(i) + "](string)");
      return;
    }
  }
  for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
    // Cards deleted before a failure stay deleted; the rest are not tried.
    if (!_dbHandler.DelCard(guid, ids[i].asString())) {
      refuse(__LINE__, 1009, "Fail to delete item(s) from DB", "");
      return;
    }
  }
  _response->SetSuccess(Json::Value());
}
