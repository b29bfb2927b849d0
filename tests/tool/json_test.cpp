#include "json.h"

#include <gtest/gtest.h>

using ostrolink::Json;
using ostrolink::parseJson;

TEST(Json, ObjectKeepsOrderAndReplacesInPlace) {
  Json j = Json::object();
  j.set("status", "0x00000000");
  j.set("bytes", 4096);
  j.set("child", nullptr);
  j.set("status", "0xC0000001");
  EXPECT_EQ(j.dump(), R"({"status":"0xC0000001","bytes":4096,"child":null})");
  EXPECT_EQ(j.size(), 3u);
  EXPECT_TRUE(j["missing"].isNull());
}

TEST(Json, NumbersKeepTheirFullRange) {
  Json a = Json::array();
  a.push(uint64_t{18446744073709551615u});
  a.push(int64_t{-9223372036854775807 - 1});
  a.push(0.25);
  a.push(1e300);
  a.push(true);
  EXPECT_EQ(a.dump(), "[18446744073709551615,-9223372036854775808,0.25,1e+300,true]");
  auto back = parseJson(a.dump());
  ASSERT_TRUE(back);
  EXPECT_EQ((*back)[0].asUint(), 18446744073709551615u);
  EXPECT_EQ((*back)[1].asInt(), INT64_MIN);
  EXPECT_EQ((*back)[2].asDouble(), 0.25);
  EXPECT_EQ(*back, a);
}

TEST(Json, StringsAreEscapedAndNeverLoseBytes) {
  // Quote, backslash, controls, valid UTF-8, and bytes that are not UTF-8 (a Shift-JIS text, a lone 0xFF).
  std::string text = "a\"b\\c\n\t\x01 \xe3\x81\x82 \x83\x76\xff";
  Json j(text);
  std::string d = j.dump();
  EXPECT_EQ(d, "\"a\\\"b\\\\c\\n\\t\\u0001 \xe3\x81\x82 \\u0083v\\u00ff\"")
      << "0x76 after 0x83 is ASCII and must not be escaped";
  EXPECT_EQ(d.find('\n'), std::string::npos) << "one object per line";
}

TEST(Json, ShiftJisBytesStayDistinguishable) {
  // Invalid UTF-8 is escaped byte by byte, so two different byte strings never print alike.
  EXPECT_NE(Json(std::string("\x83\x76")).dump(), Json(std::string("\x83")).dump());
  // Overlong and surrogate encodings are not passed through as if they were text.
  EXPECT_EQ(Json(std::string("\xc0\xaf")).dump(), "\"\\u00c0\\u00af\"");
  EXPECT_EQ(Json(std::string("\xed\xa0\x80")).dump(), "\"\\u00ed\\u00a0\\u0080\"");
}

TEST(Json, ParsesWhatItWritesAndRejectsBadText) {
  Json o = Json::object();
  o.set("list", Json(Json::Array{Json(1), Json("x"), Json()}));
  o.set("nested", Json::object());
  o.set("text", "\xe3\x81\x82\"");
  auto back = parseJson(o.dump());
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, o);
  EXPECT_EQ((*back)["list"][1].asString(), "x");

  std::string err;
  for (const char* bad : {"{", "{\"a\":}", "[1,]", "\"abc", "{\"a\":1} x", "nul", "\"\\q\"", "-"}) {
    err.clear();
    EXPECT_FALSE(parseJson(bad, &err)) << bad;
    EXPECT_NE(err.find("offset"), std::string::npos) << bad;
  }
  auto u = parseJson(R"("\u00e9\ud83d\ude00")");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->asString(), "\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(Json, WrongTypeAccessThrows) {
  Json s("text");
  EXPECT_THROW(s.asInt(), std::logic_error);
  EXPECT_THROW(Json(5).asString(), std::logic_error);
  EXPECT_THROW(Json().asArray(), std::logic_error);
}
