// The request handler of the ORVA.ContactAndCalendar module: one object per request, holding the
// framework's request and response, the configuration file and the store handle. It reads the
// parameters and replies; the card model (card_model.h) does the vCard work.
#ifndef WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H
#define WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H

#include <json/value.h>

#include <initializer_list>
#include <string>

#include "conf_manager.h"
#include "db_handler.h"
#include "webapi.h"

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

  // What an operation answers when the user parameter is no text: an error reply (code and
  // message) after the error-log line `logged` ("" for none).
  struct Refusal {
    int code;
    const char* message;
    const char* logged;
  };

  // Listing and search.
  void listCards();
  // Version 2 of "list_cards": records without inline binary data, with `photo` and `categories`.
  void listCardsWithoutBinary();
  // The reply of "list_cards": every card of `guid` matching `searchKey` ("" for all) streamed as
  // a record (version 2's with `lean`). False, with nothing replied, when the store could not
  // give the cards.
  bool streamCards(const std::string& guid, const std::string& searchKey, bool lean);
  // "get_photo": the inline photo of one card as an image reply, a bare 404 when there is none.
  void getPhoto();

  // Add, edit, delete.
  void deleteCards();
  void addCard();
  void editCard();

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
  // The steps every request operation shares (request_frame.cpp).
  // Writes `text` to the error log (level 1, the module's source name and the caller's `line`).
  void logError(int line, const std::string& text);
  // Answers error `code` with `message` after writing `logged` to the error log ("" for no log
  // line); the exports answer their bare 404 instead. Without `logged` the message is logged.
  void refuse(int line, int code, const char* message, const std::string& logged);
  void refuse(int line, int code, const char* message) { refuse(line, code, message, message); }
  // True when every named parameter is present; otherwise refuses with 900 "Request lost
  // parameters" and returns false. Names are tested in order.
  bool hasParams(int line, std::initializer_list<const char*> names);
  // The parameter `name` as text: the text the client sent when the request keeps it (the
  // front does), else a string as it is, a number or boolean as JsonCpp writes it, null or
  // absent as "". False for an object or an array given as a value, whose conversion would throw.
  bool readTextParam(const char* name, std::string& text);
  // Reads the "user" parameter and its GUID into `guid`. A user the mapping does not know is
  // provisioned first with `provision` (so is one mapped without an address book); without it
  // `guid` is "" after the system-log line "Can't find [user]'s ID". False when it has answered:
  // with `badUser` for a user parameter that is no text, with 1014 when the mapping could not
  // be read (the user is then not known to be unknown).
  bool findUser(int line, bool provision, const Refusal& badUser, std::string& guid);
  // Answers 1011 for a record of the wrong shape (`wrongType` names the member, "" when none)
  // and 1015 for a type word no vCard line can hold; true when it refused the record.
  bool refuseUnfitCard(int line, const Json::Value& card, const std::string& wrongType);
  void importCardsReporting(bool report);
  void listCardsOfVersion(bool lean);

  ORVA::APIRequest* _request;
  ORVA::APIResponse* _response;
  std::string _methodName;
  ConfManager _confManager;
  DBHandler _dbHandler;
  // The exports answer a download, and a refusal with a bare 404.
  bool _answersDownload = false;
};

#endif  // WEBAPI_CONTACT_AND_CALENDAR_HANDLER_H
