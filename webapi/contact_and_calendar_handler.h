// The request handler of the ORVA.ContactAndCalendar module: one object per request, holding the
// framework's request and response, the configuration file, the store handle and the label map
// of the vCard reader.
#ifndef WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H
#define WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H

#include <json/value.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "conf_manager.h"
#include "db_handler.h"
#include "webapi.h"

namespace vcard {
struct ContentLine;
}

// Source name of every error-log and system-log line of the module.
#define MODULE_SOURCE "webapi-ContactAndCalendar"

// Message of error 1014, a user lookup that could not read the mapping.
inline constexpr char kLookupFailed[] = "Fail to look up user";

// The header block of a Contact.vcf download of `size` bytes.
std::string DownloadHeader(unsigned long long size);

class ContactAndCalendarHandler {
 public:
  ContactAndCalendarHandler(ORVA::APIRequest* request, ORVA::APIResponse* response,
                            std::string methodName);
  ~ContactAndCalendarHandler();
  ContactAndCalendarHandler(const ContactAndCalendarHandler&) = delete;
  ContactAndCalendarHandler& operator=(const ContactAndCalendarHandler&) = delete;

  // vCard reading (the card record).
  void ParseCardText(char* cardText, Json::Value& record);
  void ParseCardLabel(char* cardText);
  void ParseInfoName(std::string_view value, Json::Value& record);
  // A phone, e-mail, address or web address line as an entry of `target`; none for an empty value.
  void ParseInfoEntry(const vcard::ContentLine& line, const Json::StaticString& target,
                      const char* fixedLabel, Json::Value& record);
  void setEmptyInfo(Json::Value& record);

  // Listing and search.
  bool isMatch(const Json::Value& record, const std::string& searchKey);
  void listCards();
  // The reply of "list_cards": every card of `guid` matching `searchKey` ("" for all) streamed as
  // a record. False, with nothing replied, when the store could not give the cards.
  bool streamCards(const std::string& guid, const std::string& searchKey);

  // vCard writing.
  std::string formulateStr(const char* text);
  std::string setCardContent(Json::Value card);

  // Add, edit, delete.
  void deleteCards();
  void addCard();
  void editCard();
  // The stored card `stored` with only what the record `sent` changes against it; false when the
  // record is no object.
  bool mergeCardEdit(const std::string& stored, const Json::Value& sent, std::string& text);

  // Import and export.
  void importCards();
  // Version 2 of "import_cards": the same import answering with a report of the stored and the
  // refused cards.
  void importCardsWithReport();
  void exportCards();
  void exportAllCards();
  // The download of "export_all_cards" streamed; false, with nothing written, when the store
  // could not give the cards.
  bool streamAllCardTexts(const std::string& guid);

  // Server settings.
  void getCommonSetting();
  void setCommonSetting();

 private:
  // Shared steps of the request operations.
  // True when every named parameter is present; otherwise writes "Request lost parameters" to
  // the error log (with the caller's `line`), replies 900 and returns false. Names are tested
  // in order.
  bool hasParams(int line, std::initializer_list<const char*> names);
  // Writes `message` to the error log (level 1, module source name, `line`) and replies `code`.
  void replyLoggedError(int line, int code, const char* message);
  // The user's GUID in `guid`, "" when the user has none; with `provision`, a user unknown to
  // the mapping, or mapped but without an address book, is provisioned first and looked up
  // again. False when the mapping could not be read: the user is then not known to be unknown,
  // and the caller answers an error (1014 with kLookupFailed; the exports their 404).
  bool lookupGUID(const std::string& user, bool provision, std::string& guid);
  // lookupGUID without provisioning; for an unknown user `guid` is "" after the system-log line
  // "Can't find [user]'s ID" (with the caller's `line`).
  bool knownUserGUID(int line, const std::string& user, std::string& guid);
  // The parameter `name` as text: the text the client sent when the request keeps it (the
  // front does), else a string as it is, a number or boolean as JsonCpp writes it, null or
  // absent as "". False for an object or an array given as a value, whose conversion would throw.
  bool readTextParam(const char* name, std::string& text);
  void importCardsReporting(bool report);

  ORVA::APIRequest* _request;
  ORVA::APIResponse* _response;
  std::string _methodName;
  ConfManager _confManager;
  DBHandler _dbHandler;
  Json::Value _labelMap;
};

#endif  // WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H
