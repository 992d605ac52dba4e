// Card listing and search ("list_cards"): every card of one user's address book as a card
// record, optionally filtered by a search text, in the order the store returns them. Version 2
// leaves inline binary data out of the records.
#include <string>

#include "contact_and_calendar_handler.h"

void ContactAndCalendarHandler::listCards() { listCardsOfVersion(false); }

void ContactAndCalendarHandler::listCardsWithoutBinary() { listCardsOfVersion(true); }

void ContactAndCalendarHandler::listCardsOfVersion(bool lean) {
  if (!hasParams(__LINE__, {"user"})) return;
  std::string searchKey;
  if (!readTextParam("search_key", searchKey)) {
    refuse(__LINE__, 900, "Request lost parameters");
    return;
  }
  std::string guid;
  if (!findUser(__LINE__, true, {900, "Request lost parameters", "Request lost parameters"}, guid))
    return;
  // An empty list is an answer only when the store could read it.
  if (!streamCards(guid, searchKey, lean)) refuse(__LINE__, 1012, "Fail to read cards from DB");
}
