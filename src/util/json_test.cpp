#include "util/json.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

TEST(ParseJson, AcceptsOneValueOfAtMost128LevelsWithWhiteSpaceOnly) {
  EXPECT_TRUE(parse_json(" {\"a\":[1,2]} \r\n\t"));
  EXPECT_FALSE(parse_json("{} x"));
  EXPECT_FALSE(parse_json(""));
  EXPECT_FALSE(parse_json("{\"a\":\"\xFF\"}"));  // invalid UTF-8 in a string
  // A NUL byte ends nothing: what follows it is still trailing text, and no JSON holds one.
  using namespace std::string_literals;
  for (const std::string& text : {"1\t\0\xe9"s, "{}\0{}"s, "[1]\0"s, "\0"s, "\"a\0b\""s})
    EXPECT_FALSE(parse_json(text)) << text.size();
  // Brackets inside strings are text, not nesting. (The 128 levels: the request reader's test.)
  EXPECT_TRUE(parse_json("\"" + std::string(500, '[') + "\""));
  EXPECT_TRUE(parse_json("{\"k\\\"[[\":" + std::string(127, '[') + std::string(127, ']') + "}"));
  // A hostile document is refused without being built.
  EXPECT_FALSE(parse_json(std::string(1'000'000, '[')));
}

TEST(DumpJson, CompactSortedNeverThrowsOnBadUtf8AndAppendJsonStringGivesTheSameBytes) {
  Json value = {{"b", 1}, {"a", {{"d", true}, {"c", nullptr}}}, {"s", std::string("x\xFFy")}};
  EXPECT_EQ(dump_json(value), "{\"a\":{\"c\":null,\"d\":true},\"b\":1,\"s\":\"x\xEF\xBF\xBDy\"}");

  // Ill-formed: a stray byte, a cut sequence, an overlong form, an encoded surrogate, a code
  // point past U+10FFFF. (Escapes and well-formed text: the fast_delta fuzz target.)
  std::vector<std::string> texts = {"x\xFFy",        "\xE2\x82",         "\xC0\xAF",
                                    "\xED\xA0\x80z", "\xF4\x90\x80\x80", "say \"hi\" a/b"};
  texts.push_back(std::string(3000, 'w') + '\x80');  // long, and ill-formed only at its end
  for (int c = 0; c < 0x20; ++c) texts.push_back(std::string("<") + char(c) + ">");
  for (const std::string& text : texts) {
    std::string out = "prefix:";
    append_json_string(out, text);
    EXPECT_EQ(out, "prefix:" + dump_json(Json(text))) << text;
  }
}

// (Every kind of value as text, and or_zero of a member that is there: the json fuzz target.)
TEST(Readers, AsTextIsTruthyAndOrZeroReadLeniently) {
  Json obj = *parse_json(R"({"n":42,"a":[1,2],"o":{"b":1},"t":true,"no":false,"z":null,"s":"hi",
      "e":"","ea":[],"eo":{},"s0":"0","a0":[0],"on":{"a":null},"neg":-1,"zero":0})");
  const std::set<std::string> truthy = {"n", "a", "o", "t", "s", "s0", "a0", "on", "neg"};
  for (const auto& [key, value] : obj.items())
    EXPECT_EQ(is_truthy(obj, key), truthy.count(key) == 1) << key;
  EXPECT_FALSE(is_truthy(obj, "missing"));
  EXPECT_EQ(as_text(obj, "t"), "True");
  EXPECT_EQ(as_text(obj, "no"), "False");
  EXPECT_EQ(as_text(obj, "missing"), "");
  EXPECT_EQ(as_text(Json::array({1}), "s"), "");  // not an object: absent
  EXPECT_TRUE(or_zero(obj, "missing").is_number_integer() && or_zero(obj, "missing") == 0);
}
