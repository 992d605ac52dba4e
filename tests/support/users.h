// Users of the store for tests that call the contacts methods: provisioned as a user's first
// request provisions them, with the address-book home every card of theirs belongs to.
#ifndef LUMIDEX_TESTS_USERS_H
#define LUMIDEX_TESTS_USERS_H

#include <gtest/gtest.h>

#include <string>

#include "db_handler.h"
#include "test_env.h"

namespace testenv {

// Provisions `name` and returns its GUID; a failure to provision fails the test.
inline std::string ProvisionUser(const std::string& name) {
  DBHandler store;
  EXPECT_TRUE(store.SetupUserBasicInfo(name)) << name;
  return store.GetGUID(name);
}

// Base fixture with two users, ada and bob, provisioned.
class TwoUsersTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    adaGuid = ProvisionUser("ada");
    bobGuid = ProvisionUser("bob");
    ASSERT_FALSE(adaGuid.empty());
    ASSERT_FALSE(bobGuid.empty());
  }

  std::string adaGuid, bobGuid;
};

}  // namespace testenv

#endif  // LUMIDEX_TESTS_USERS_H
