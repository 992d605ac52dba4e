// Operations whose implementation has not landed yet answer with an explicit error, so that the
// module always loads and every row of the table replies. Each operation leaves this file when
// its own file arrives.
#include "contact_and_calendar_handler.h"

#define PENDING(operation) \
  void ContactAndCalendarHandler::operation() { _response->SetError(999, Json::Value("Not available")); }

PENDING(getCommonSetting)
PENDING(setCommonSetting)
PENDING(listCards)
PENDING(deleteCards)
PENDING(editCard)
PENDING(addCard)
PENDING(importCards)
PENDING(exportCards)
PENDING(exportAllCards)
