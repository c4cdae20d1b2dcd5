#include "script.h"

#include <gtest/gtest.h>

using Kind = Directive::Kind;

TEST(DemoScript, PlainMessagesAreNotScripts) {
  EXPECT_FALSE(parse_script("hello there").has_value());
  EXPECT_FALSE(parse_script("mail me @ home\n@ noon\n@Reply capitalised").has_value());
  EXPECT_FALSE(parse_script("").has_value());
}

TEST(DemoScript, DirectivesRunInOrderAndKeepTheirArgumentsVerbatim) {
  auto script = parse_script(
      "some words first\n"
      "@deltas Hel|lo| |\r\n"
      "  @full Hello \n"
      "@tool Bash {\"command\":\"echo hi; echo there\"}\n"
      "@fail-errors first|second\n");
  ASSERT_TRUE(script.has_value());
  EXPECT_EQ(script->error, "");
  ASSERT_EQ(script->directives.size(), 4u);

  EXPECT_EQ(script->directives[0].kind, Kind::Deltas);
  EXPECT_EQ(script->directives[0].pieces, (std::vector<std::string>{"Hel", "lo", " ", ""}));
  EXPECT_EQ(script->directives[1].kind, Kind::Full);
  EXPECT_EQ(script->directives[1].text, "Hello ");
  EXPECT_EQ(script->directives[2].kind, Kind::Tool);
  EXPECT_EQ(script->directives[2].text, "Bash");
  EXPECT_EQ(script->directives[2].input, (Json{{"command", "echo hi; echo there"}}));
  EXPECT_EQ(script->directives[3].kind, Kind::FailErrors);
  EXPECT_EQ(script->directives[3].pieces, (std::vector<std::string>{"first", "second"}));
}

TEST(DemoScript, AssistantIsFullAndToolInputDefaultsToEmptyObject) {
  auto script = parse_script("@assistant Hi\n@tool Write\n@hang");
  ASSERT_TRUE(script.has_value());
  ASSERT_EQ(script->directives.size(), 3u);
  EXPECT_EQ(script->directives[0].kind, Kind::Full);
  EXPECT_EQ(script->directives[1].input, Json::object());
  EXPECT_EQ(script->directives[2].kind, Kind::Hang);
}

TEST(DemoScript, NumbersAreChecked) {
  auto good = parse_script("@exit 3\n@busy 250");
  ASSERT_TRUE(good.has_value());
  EXPECT_EQ(good->error, "");
  EXPECT_EQ(good->directives[0].number, 3);
  EXPECT_EQ(good->directives[1].number, 250);

  for (const char* bad : {"@exit 256", "@exit -1", "@exit x", "@busy", "@busy 5ms"}) {
    auto script = parse_script(bad);
    ASSERT_TRUE(script.has_value()) << bad;
    EXPECT_NE(script->error, "") << bad;
  }
}

TEST(DemoScript, MistakesAreReportedNotGuessed) {
  EXPECT_EQ(parse_script("@reply ok\n@replay typo")->error, "unknown directive @replay");
  EXPECT_EQ(parse_script("@tool Bash {not json")->error, "@tool input is not a JSON object");
  EXPECT_EQ(parse_script("@tool Bash [1]")->error, "@tool input is not a JSON object");
  EXPECT_EQ(parse_script("@tool")->error, "@tool needs a tool name");
  EXPECT_NE(parse_script("@wait-file")->error, "");
  EXPECT_NE(parse_script("@mode")->error, "");
}

TEST(DemoScript, RepliesAreTheDirectivesThatSpeak) {
  EXPECT_TRUE(produces_reply(Kind::Reply));
  EXPECT_TRUE(produces_reply(Kind::Tool));
  EXPECT_TRUE(produces_reply(Kind::Report));
  EXPECT_FALSE(produces_reply(Kind::Subagent));
  EXPECT_FALSE(produces_reply(Kind::Raw));
  EXPECT_FALSE(produces_reply(Kind::Busy));
}
