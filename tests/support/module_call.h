// Calling the module as the framework does: find a method's row in the module's table and run it,
// optionally capturing what the handler writes to standard output (the downloads write there).
#ifndef LUMIDEX_TESTS_MODULE_CALL_H
#define LUMIDEX_TESTS_MODULE_CALL_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "test_env.h"
#include "webapi.h"

extern "C" ORVA::APITableRow* GetAPITable();

namespace testenv {

// The handler of a "ORVA.ContactAndCalendar.Contacts" version 1 method; null when not in the table.
inline ORVA::APIHandler ContactsHandler(const char* method) {
  for (ORVA::APITableRow* row = GetAPITable(); row->api; ++row) {
    if (std::strcmp(row->api, "ORVA.ContactAndCalendar.Contacts") == 0 && row->version == 1 &&
        std::strcmp(row->method, method) == 0) {
      return row->handler;
    }
  }
  return nullptr;
}

// Runs `method` with `params` into `response`.
inline void CallContacts(const char* method, const Json::Value& params,
                         ORVA::APIResponse& response) {
  ORVA::APIHandler handler = ContactsHandler(method);
  ASSERT_NE(nullptr, handler) << method;
  ORVA::APIRequest request(params);
  handler(&request, &response);
}

// Runs `method` with `params` and returns every byte it wrote to file descriptor 1, which is sent
// to `capturePath` meanwhile. `response` receives whatever the handler set on it.
inline std::string CallContactsCapturingStdout(const char* method, const Json::Value& params,
                                               const std::string& capturePath,
                                               ORVA::APIResponse& response) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int file = open(capturePath.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  dup2(file, 1);
  close(file);
  CallContacts(method, params, response);
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  return ReadFile(capturePath);
}

}  // namespace testenv

#endif  // LUMIDEX_TESTS_MODULE_CALL_H
