#include "script.h"

#include <gtest/gtest.h>

using Kind = Directive::Kind;

TEST(DemoScript, DirectivesRunInOrderAndKeepTheirArgumentsVerbatim) {
  for (const char* plain : {"hello there", "mail me @ home\n@ noon\n@Reply capitalised", ""}) {
    EXPECT_FALSE(parse_script(plain).has_value()) << plain;
  }
  auto script = parse_script(
      "some words first\n"
      "@deltas Hel|lo| |\r\n"
      "  @full Hello \n"
      "@tool Bash {\"command\":\"echo hi; echo there\"}\n"
      "@fail-errors first|second\n"
      "@assistant Hi\n@tool Write\n@hang\n@exit 3\n@busy 250");
  ASSERT_TRUE(script.has_value());
  EXPECT_EQ(script->error, "");
  const std::vector<Directive>& d = script->directives;
  ASSERT_EQ(d.size(), 9u);
  EXPECT_EQ(d[0].kind, Kind::Deltas);
  EXPECT_EQ(d[0].pieces, (std::vector<std::string>{"Hel", "lo", " ", ""}));
  EXPECT_EQ(d[1].kind, Kind::Full);
  EXPECT_EQ(d[1].text, "Hello ");
  EXPECT_EQ(d[2].kind, Kind::Tool);
  EXPECT_EQ(d[2].text, "Bash");
  EXPECT_EQ(d[2].input, (Json{{"command", "echo hi; echo there"}}));
  EXPECT_EQ(d[3].kind, Kind::FailErrors);
  EXPECT_EQ(d[3].pieces, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(d[4].kind, Kind::Full);       // @assistant is @full
  EXPECT_EQ(d[5].input, Json::object());  // a tool's input defaults to an empty object
  EXPECT_EQ(d[6].kind, Kind::Hang);
  EXPECT_EQ(d[7].number, 3);
  EXPECT_EQ(d[8].number, 250);
}

TEST(DemoScript, MistakesAreReportedNotGuessed) {
  EXPECT_EQ(parse_script("@reply ok\n@replay typo")->error, "unknown directive @replay");
  EXPECT_EQ(parse_script("@tool Bash {not json")->error, "@tool input is not a JSON object");
  EXPECT_EQ(parse_script("@tool Bash [1]")->error, "@tool input is not a JSON object");
  EXPECT_EQ(parse_script("@tool")->error, "@tool needs a tool name");
  for (const char* bad :
       {"@wait-file", "@mode", "@exit 256", "@exit -1", "@exit x", "@busy", "@busy 5ms"}) {
    auto script = parse_script(bad);
    ASSERT_TRUE(script.has_value()) << bad;
    EXPECT_NE(script->error, "") << bad;
  }
}
