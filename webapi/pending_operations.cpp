// Request operations that are still being built answer with an explicit error, so that the
// module always loads and every row of the table replies. Each definition here is weak: the
// operation's real definition, in its own file, replaces it at link time.
#include "contact_and_calendar_handler.h"

#define PENDING(operation)                                                \
  __attribute__((weak)) void ContactAndCalendarHandler::operation() {     \
    _response->SetError(999, Json::Value("Not available in this build")); \
  }

PENDING(getCommonSetting)
PENDING(setCommonSetting)
PENDING(listCards)
PENDING(deleteCards)
PENDING(editCard)
PENDING(addCard)
PENDING(importCards)
PENDING(exportCards)
PENDING(exportAllCards)
