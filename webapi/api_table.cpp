// The module's API table and its entry functions: each entry function builds one handler for the
// request, runs one operation and destroys the handler.
#include "contact_and_calendar_handler.h"
#include "webapi.h"

#define ENTRY_FUNCTION(entryName, operation)                                          \
  extern "C" void entryName(ORVA::APIRequest* request, ORVA::APIResponse* response) { \
    ContactAndCalendarHandler handler(request, response, std::string(#entryName));    \
    handler.operation();                                                              \
  }

ENTRY_FUNCTION(common_get, getCommonSetting)
ENTRY_FUNCTION(common_set, setCommonSetting)
ENTRY_FUNCTION(contact_list_cards, listCards)
ENTRY_FUNCTION(contact_list_cards_v2, listCardsWithoutBinary)
ENTRY_FUNCTION(contact_get_photo, getPhoto)
ENTRY_FUNCTION(contact_delete_cards, deleteCards)
ENTRY_FUNCTION(contact_edit_card, editCard)
ENTRY_FUNCTION(contact_add_card, addCard)
ENTRY_FUNCTION(contact_import_cards, importCards)
ENTRY_FUNCTION(contact_import_cards_v2, importCardsWithReport)
ENTRY_FUNCTION(contact_export_cards, exportCards)
ENTRY_FUNCTION(contact_export_all_cards, exportAllCards)

#define COMMON_API "ORVA.ContactAndCalendar.Common"
#define CONTACTS_API "ORVA.ContactAndCalendar.Contacts"

extern "C" {

ORVA::APITableRow gTable[] = {
    {COMMON_API, 1, "get", common_get},
    {COMMON_API, 1, "set", common_set},
    {CONTACTS_API, 1, "list_cards", contact_list_cards},
    {CONTACTS_API, 1, "delete_cards", contact_delete_cards},
    {CONTACTS_API, 1, "edit_card", contact_edit_card},
    {CONTACTS_API, 1, "add_card", contact_add_card},
    {CONTACTS_API, 1, "import_cards", contact_import_cards},
    {CONTACTS_API, 1, "export_cards", contact_export_cards},
    {CONTACTS_API, 1, "export_all_cards", contact_export_all_cards},
    {CONTACTS_API, 1, "get_photo", contact_get_photo},
    // Version 2 answers with an import report; version 1 stays as scripts know it.
    {CONTACTS_API, 2, "import_cards", contact_import_cards_v2},
    // Version 2 leaves inline photos, logos, sounds and keys out and says which cards have a photo.
    {CONTACTS_API, 2, "list_cards", contact_list_cards_v2},
    {nullptr, 0, nullptr, nullptr},
};

ORVA::APITableRow* GetAPITable() { return gTable; }
}
