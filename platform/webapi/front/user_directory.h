// What the pages of "admin" are told about the other users: the names that may sign in and the
// names that already have an address book, so that a typo in "Address book of" creates none.
#ifndef ORVA_FRONT_USER_DIRECTORY_H
#define ORVA_FRONT_USER_DIRECTORY_H

#include <json/value.h>

namespace front {

// Adds "accounts" (the account names, in the order of the accounts file) and "books" (the short
// names that have an address book, sorted) to a who-am-I reply. "books" is left out when the
// mapping database exists but cannot be read, so the pages never claim a book is missing.
void AddUserDirectory(Json::Value* reply);

}  // namespace front

#endif  // ORVA_FRONT_USER_DIRECTORY_H
