// The framework's response object: each SetSuccess or SetError is counted and the last one is the
// result, whether the data was copied in or handed over.
#include <json/value.h>

#include <utility>

#include "gtest/gtest.h"
#include "webapi.h"

namespace {

Json::Value Listing() {
  Json::Value data(Json::objectValue);
  data["cards"].append("first");
  data["cards"].append("second");
  return data;
}

TEST(WebApiResponse, CopiedResultLeavesTheCallersValueAlone) {
  ORVA::APIResponse response;
  const Json::Value data = Listing();
  response.SetSuccess(data);
  EXPECT_EQ(1, response.Calls());
  EXPECT_TRUE(response.IsSuccess());
  EXPECT_EQ(0, response.ErrorCode());
  EXPECT_EQ(Listing(), response.Data());
  EXPECT_EQ(Listing(), data);
}

TEST(WebApiResponse, HandedOverResultIsKeptAndCountedLikeACopiedOne) {
  ORVA::APIResponse response;
  response.SetError(900, Json::Value("Request lost parameters"));
  Json::Value data = Listing();
  response.SetSuccess(std::move(data));
  EXPECT_EQ(2, response.Calls());
  EXPECT_TRUE(response.IsSuccess());
  EXPECT_EQ(0, response.ErrorCode());
  EXPECT_EQ(Listing(), response.Data());

  response.SetError(901, Json::Value("later"));
  EXPECT_EQ(3, response.Calls());
  EXPECT_FALSE(response.IsSuccess());
  EXPECT_EQ(901, response.ErrorCode());
  EXPECT_EQ(Json::Value("later"), response.Data());
}

}  // namespace
