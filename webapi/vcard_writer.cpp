// vCard writing: the vCard 3.0 text of a card record, for add and edit; and the leading-space
// trimming that the import shares.
#include "contact_and_calendar_handler.h"

std::string ContactAndCalendarHandler::formulateStr(const char* text) {
  // Only the space character: a leading tab is part of the value.
  while (*text == ' ') ++text;
  return text;
}
