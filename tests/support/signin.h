// Signing in for tests: accounts made with the real lumidex_account program in a test package
// tree, and the HTTP Basic credentials that let a request through the front.
#ifndef LUMIDEX_TESTS_SIGNIN_H
#define LUMIDEX_TESTS_SIGNIN_H

#include <string>

#include "process.h"

namespace testenv {

class TempRoot;

// The password every test account of AdminAuthorization gets.
inline constexpr const char kTestAdminPassword[] = "test-admin-Pa55word";

// Runs lumidex_account COMMAND NAME against `root` with `input` on standard input.
ProcessResult RunAccountTool(const TempRoot& root, const std::string& command,
                             const std::string& name, const std::string& input);
// Adds an account; a failure is reported as a test failure.
void AddAccount(const TempRoot& root, const std::string& name, const std::string& password);

// "Basic " followed by base64 of "name:password".
std::string BasicCredentials(const std::string& name, const std::string& password);
// The same as a header line for HttpRequest.
std::string AuthorizationHeader(const std::string& name, const std::string& password);

// For tests that need to be signed in without testing the sign-in: adds "admin" to `root`
// and returns the value of HTTP_AUTHORIZATION that signs in as it.
std::string AdminAuthorization(const TempRoot& root);

}  // namespace testenv

#endif  // LUMIDEX_TESTS_SIGNIN_H
