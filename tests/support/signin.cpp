// Test accounts and credentials (see signin.h).
#include "signin.h"

#include <gtest/gtest.h>

#include "test_env.h"

namespace testenv {

ProcessResult RunAccountTool(const TempRoot& root, const std::string& command,
                             const std::string& name, const std::string& input) {
  return RunProcess({BuildDir() + "/platform/lumidex_account", command, name},
                    {{"LUMIDEX_ROOT", root.Dir()}}, input);
}

void AddAccount(const TempRoot& root, const std::string& name, const std::string& password) {
  ProcessResult added = RunAccountTool(root, "add", name, password + "\n");
  EXPECT_EQ(added.exitCode, 0) << "cannot add account " << name << ": " << added.err;
}

std::string BasicCredentials(const std::string& name, const std::string& password) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string text = name + ":" + password;
  std::string encoded;
  for (size_t i = 0; i < text.size(); i += 3) {
    unsigned int chunk = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) chunk |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) chunk |= static_cast<unsigned char>(text[i + 2]);
    encoded += digits[(chunk >> 18) & 63];
    encoded += digits[(chunk >> 12) & 63];
    encoded += i + 1 < text.size() ? digits[(chunk >> 6) & 63] : '=';
    encoded += i + 2 < text.size() ? digits[chunk & 63] : '=';
  }
  return "Basic " + encoded;
}

std::string AuthorizationHeader(const std::string& name, const std::string& password) {
  return "Authorization: " + BasicCredentials(name, password);
}

std::string AdminAuthorization(const TempRoot& root) {
  AddAccount(root, "admin", kTestAdminPassword);
  return BasicCredentials("admin", kTestAdminPassword);
}

}  // namespace testenv
