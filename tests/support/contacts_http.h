// The contacts methods through lighttpd and the CGI front, as the pages and curl reach them:
// users provisioned with accounts that sign in, signed-in GET requests and a curl upload.
#ifndef LUMIDEX_TESTS_CONTACTS_HTTP_H
#define LUMIDEX_TESTS_CONTACTS_HTTP_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lighttpd.h"
#include "process.h"
#include "signin.h"
#include "test_env.h"
#include "users.h"

namespace testenv {

// Debian's curl (scripts/deps.sh installs it); started without a shell, so by its path.
inline constexpr char kCurl[] = "/usr/bin/curl";
// The Contacts methods' entry; a request adds "&version=N&method=...".
inline constexpr char kContactsEntry[] = "/webapi/entry.cgi?api=ORVA.ContactAndCalendar.Contacts";

class ContactsOverHttp : public StoreTest {
 protected:
  // Provisions `name` in the store and gives it an account that signs in with `password`.
  void AddUser(const std::string& name, const std::string& password) {
    ASSERT_FALSE(ProvisionUser(name).empty());
    AddAccount(root, name, password);
  }

  // The full URL of a Contacts request; `query` starts with "&version=".
  static std::string Url(int port, const std::string& query) {
    return "http://127.0.0.1:" + std::to_string(port) + kContactsEntry + query;
  }

  // A GET of the Contacts entry with `query`, signed in as `who`.
  static HttpReply Get(int port, const std::string& query, const std::string& who,
                       const std::string& password, std::vector<std::string> headers = {}) {
    headers.push_back(AuthorizationHeader(who, password));
    return HttpRequest(port, "GET", std::string(kContactsEntry) + query, headers);
  }

  // Uploads `file` to version 1 of import_cards for `user`, signed in as that user, with curl
  // sending a form as a browser does.
  static ProcessResult CurlImport(int port, const std::string& user, const std::string& password,
                                  const std::string& file) {
    return RunProcess({kCurl, "-sS", "-u", user + ":" + password, "-F", "file=@" + file, "-F",
                       "user=" + user, Url(port, "&version=1&method=import_cards")});
  }
};

}  // namespace testenv

#endif  // LUMIDEX_TESTS_CONTACTS_HTTP_H
