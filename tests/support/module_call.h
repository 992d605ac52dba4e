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

inline constexpr char kContactsApi[] = "ORVA.ContactAndCalendar.Contacts";

// The handler of `api`'s `method` at `version`; null when not in the table.
inline ORVA::APIHandler TableHandler(const char* api, const char* method, int version = 1) {
  for (ORVA::APITableRow* row = GetAPITable(); row->api; ++row) {
    if (std::strcmp(row->api, api) == 0 && row->version == version &&
        std::strcmp(row->method, method) == 0) {
      return row->handler;
    }
  }
  return nullptr;
}

inline ORVA::APIHandler ContactsHandler(const char* method, int version = 1) {
  return TableHandler(kContactsApi, method, version);
}

// Runs `method` with `params` into `response`.
inline void CallContacts(const char* method, const Json::Value& params,
                         ORVA::APIResponse& response) {
  ORVA::APIHandler handler = ContactsHandler(method);
  ASSERT_NE(nullptr, handler) << method;
  ORVA::APIRequest request(params);
  handler(&request, &response);
}

// One request through the table row the framework would pick; a method missing from the table
// fails the test and gives an untouched response.
inline ORVA::APIResponse RunMethod(const char* api, const char* method, const Json::Value& params,
                                   int version = 1) {
  ORVA::APIResponse response;
  ORVA::APIHandler handler = TableHandler(api, method, version);
  if (!handler) {
    ADD_FAILURE() << "no table row for " << api << " " << method << " version " << version;
    return response;
  }
  ORVA::APIRequest request(params);
  handler(&request, &response);
  return response;
}

inline ORVA::APIResponse RunContacts(const char* method, const Json::Value& params,
                                     int version = 1) {
  return RunMethod(kContactsApi, method, params, version);
}

// The parameters of a request for `user`, with `key` set to `value` when a key is given.
inline Json::Value UserParams(const Json::Value& user, const char* key = nullptr,
                              const Json::Value& value = Json::Value()) {
  Json::Value params(Json::objectValue);
  params["user"] = user;
  if (key) params[key] = value;
  return params;
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
