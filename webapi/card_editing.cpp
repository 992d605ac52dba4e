// Add, edit and delete of single contacts ("add_card", "edit_card", "delete_cards"): each checks
// its parameters and their JSON types, looks the user up, writes through the store and replies
// once.
#include <string>

#include "contact_and_calendar_handler.h"
#include "error_log.h"

namespace {

const char kSetCardFailed[] = "Fail to set card";
const char kCardChanged[] = "Card changed since it was read";
const char kNeedParameter[] = "Incorrect parameter: Need ";

// Writes `logLine` to the error log and replies `code` with `message` (the two texts differ
// where the reply's message is fixed but the log should say what was wrong).
void Refuse(ORVA::APIResponse* response, int line, const std::string& logLine, int code,
            const char* message) {
  ErrorLog(MODULE_SOURCE, line, 1, logLine.c_str(), static_cast<const char*>(nullptr));
  response->SetError(code, Json::Value(message));
}

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

bool IsLineStart(const std::string& text, std::size_t at) {
  return at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r';
}

bool StartsWithNoCase(const std::string& text, std::size_t at, const char* prefix) {
  for (std::size_t i = 0; prefix[i]; ++i) {
    if (at + i >= text.size()) return false;
    char c = text[at + i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

// True when the record's unmapped lines can head the stored card: they start with the card's
// BEGIN line, carry its UID line, and hold no second BEGIN and no END line. A listing leaves
// such lines in them only for a nested card or one whose END it could not recognise; writing
// the rest of the card after them would cut the stored card short.
bool IsCardHead(const std::string& other) {
  if (!StartsWithNoCase(other, 0, "BEGIN:VCARD")) return false;
  bool uid = false;
  for (std::size_t at = 1; at < other.size(); ++at) {
    if (!IsLineStart(other, at) || other[at] == '\r' || other[at] == '\n') continue;
    if (StartsWithNoCase(other, at, "UID:")) uid = true;
    if (StartsWithNoCase(other, at, "BEGIN:VCARD")) return false;
    // The listing stops at a line starting with END; an end line in another case it reads on.
    if (other.compare(at, 3, "END") == 0 || StartsWithNoCase(other, at, "END:VCARD")) return false;
  }
  return uid;
}

}  // namespace

void ContactAndCalendarHandler::addCard() {
  if (!hasParams(__LINE__, {"card", "user"})) return;
  // The front passes a name made of digits as a number; it is still the same name.
  std::string user;
  if (!readTextParam("user", user)) {
    Refuse(_response, __LINE__, "check type of user(string)", 1011, kSetCardFailed);
    return;
  }
  Json::Value card = _request->GetParam("card", Json::Value());
  // Refused before the lookup, which may provision the user: a refused add changes nothing.
  std::string wrong = WrongCardType(card);
  if (!wrong.empty()) {
    Refuse(_response, __LINE__, "check type of " + wrong, 1011, kSetCardFailed);
    return;
  }

  std::string guid;
  if (!lookupGUID(user, true, guid)) {
    replyLoggedError(__LINE__, 1014, kLookupFailed);
    return;
  }
  const std::string uuid = _dbHandler.GetUUID();
  // Without an id the writer would head the card with the request's own lines.
  if (uuid.empty()) {
    Refuse(_response, __LINE__, "Can't get a UID for the new card", 1011, kSetCardFailed);
    return;
  }
  card["id"] = uuid;
  if (_dbHandler.AddCard(guid, uuid, setCardContent(card))) {
    _response->SetSuccess(Json::Value());
  } else {
    _response->SetError(1011, Json::Value(kSetCardFailed));
  }
}

void ContactAndCalendarHandler::editCard() {
  if (!hasParams(__LINE__, {"card", "user"})) return;
  // The front passes a name made of digits as a number; it is still the same name.
  std::string user;
  if (!readTextParam("user", user)) {
    Refuse(_response, __LINE__, "check type of user(string)", 1011, kSetCardFailed);
    return;
  }
  std::string guid;
  if (!knownUserGUID(__LINE__, user, guid)) {
    replyLoggedError(__LINE__, 1014, kLookupFailed);
    return;
  }
  if (guid.empty()) {
    _response->SetSuccess(Json::Value());
    return;
  }

  Json::Value card = _request->GetParam("card", Json::Value());
  std::string wrong = WrongCardType(card);
  if (!wrong.empty()) {
    Refuse(_response, __LINE__, "check type of " + wrong, 1011, kSetCardFailed);
    return;
  }
  const Json::Value& record = card;
  const std::string resourceName =
      record["resource_name"].isString() ? record["resource_name"].asString() : std::string();
  // The edit changes the stored card: only what the record changes is written, the rest stays
  // as stored. An `etag` (the md5 the listing gave) refuses the edit of a card changed since.
  const std::string etag = record["etag"].isString() ? record["etag"].asString() : std::string();
  std::string stored, md5, merged;
  bool found = false;
  if (!resourceName.empty() && _dbHandler.GetCard(guid, resourceName, stored, md5, found)) {
    if (!etag.empty() && etag != md5) {
      replyLoggedError(__LINE__, 1013, kCardChanged);
      return;
    }
    if (mergeCardEdit(stored, record, merged)) {
      bool stale = false;
      if (_dbHandler.UpdateCard(guid, resourceName, merged, etag, stale)) {
        _response->SetSuccess(Json::Value());
      } else if (stale) {
        replyLoggedError(__LINE__, 1013, kCardChanged);
      } else {
        _response->SetError(1011, Json::Value(kSetCardFailed));
      }
      return;
    }
  }
  // A card that cannot be read is written from the record, headed by its `other`; a card without
  // its BEGIN and UID lines is never stored.
  if (!IsCardHead(record["other"].isString() ? record["other"].asString() : std::string())) {
    Refuse(_response, __LINE__, "Card to edit lacks its BEGIN:VCARD or UID line", 1011,
           kSetCardFailed);
    return;
  }
  card["id"] = "";
  // The store refuses a name that is empty or that names no card of this user.
  if (_dbHandler.UpdateCard(guid, resourceName, setCardContent(card))) {
    _response->SetSuccess(Json::Value());
  } else {
    _response->SetError(1011, Json::Value(kSetCardFailed));
  }
}

void ContactAndCalendarHandler::deleteCards() {
  if (!hasParams(__LINE__, {"user", "id"})) return;
  const Json::Value ids = _request->GetParam("id", Json::Value());
  std::string user;
  if (!readTextParam("user", user)) {
    Refuse(_response, __LINE__, "check type of user(string)", 901, kNeedParameter);
    return;
  }
  std::string guid;
  if (!knownUserGUID(__LINE__, user, guid)) {
    replyLoggedError(__LINE__, 1014, kLookupFailed);
    return;
  }
  if (guid.empty()) {
    _response->SetSuccess(Json::Value());
    return;
  }
  if (!ids.isArray()) {
    Refuse(_response, __LINE__, "check type of id(array)", 901, kNeedParameter);
    return;
  }
  // Every element is checked before the first delete, so a bad list deletes nothing.
  for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
    if (!ids[i].isString()) {
      Refuse(_response, __LINE__, "check type of id[" + std::to_string(i) + "](string)", 901,
             kNeedParameter);
      return;
    }
  }
  for (Json::ArrayIndex i = 0; i < ids.size(); ++i) {
    // Cards deleted before a failure stay deleted; the rest are not tried.
    if (!_dbHandler.DelCard(guid, ids[i].asString())) {
      _response->SetError(1009, Json::Value("Fail to delete item(s) from DB"));
      return;
    }
  }
  _response->SetSuccess(Json::Value());
}
