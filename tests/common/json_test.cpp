// Boost.JSON in the cross build: parsing reports errors through an error code
// (no exception), and the writer is compact and keeps member order.
#include <boost/json.hpp>
#include <gtest/gtest.h>

namespace json = boost::json;

TEST(Json, ParsesAndWritesCompactlyInMemberOrder) {
  json::error_code ec;
  json::value v = json::parse(R"( { "cmd" : "set_data", "id": 42, "args": [true, null, "x"] } )", ec);
  ASSERT_FALSE(ec) << ec.message();
  ASSERT_TRUE(v.is_object());
  EXPECT_EQ(v.as_object().at("id").as_int64(), 42);
  EXPECT_EQ(json::serialize(v), R"({"cmd":"set_data","id":42,"args":[true,null,"x"]})");

  json::object reply;
  reply["result"] = "ok";
  reply["volume"] = -12;
  EXPECT_EQ(json::serialize(reply), R"({"result":"ok","volume":-12})");
}

TEST(Json, MalformedTextGivesAnErrorCodeAndANullValue) {
  for (const char* text : {"{\"cmd\":", "{\"a\":1,}", "", "[1 2]", "{\"a\":\"\\u12\"}"}) {
    json::error_code ec;
    json::value v = json::parse(text, ec);
    EXPECT_TRUE(ec) << "accepted: " << text;
    EXPECT_TRUE(v.is_null()) << text;
  }
}
