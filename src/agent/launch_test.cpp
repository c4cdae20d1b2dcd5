#include "agent/launch.h"

#include <gtest/gtest.h>

#include <set>

TEST(ShellQuote, LeavesPlainTextAndQuotesEverythingElse) {
  EXPECT_EQ(shell_quote("smith"), "smith");
  EXPECT_EQ(shell_quote("a@b%c+d=e:f,g./h-_"), "a@b%c+d=e:f,g./h-_");
  EXPECT_EQ(shell_quote(""), "''");
  EXPECT_EQ(shell_quote("it's"), "'it'\"'\"'s'");
  EXPECT_EQ(shell_quote("/opt/q b/bridge"), "'/opt/q b/bridge'");
  EXPECT_EQ(shell_quote("caf\xC3\xA9"), "'caf\xC3\xA9'");
  EXPECT_EQ(shell_quote("$(rm -rf ~)"), "'$(rm -rf ~)'");
}

TEST(SettingsFileName, EncodesEveryByteOutsideThePlainSet) {
  EXPECT_EQ(encode_npc_id_for_file("smith_2.v-1"), "smith_2.v-1");
  EXPECT_EQ(encode_npc_id_for_file("a/b c"), "a%2Fb%20c");
  EXPECT_EQ(encode_npc_id_for_file(".."), "..");  // inside "npc-..-TOKEN", still one plain name
  EXPECT_EQ(encode_npc_id_for_file(std::string("x\0y", 3)), "x%00y");
  EXPECT_EQ(encode_npc_id_for_file("\xC3\xA9"), "%C3%A9");
}

TEST(SettingsFileName, LongIdsAreCutButStayUniqueAndFitAFileName) {
  std::string a(300, 'a'), b(300, 'a');
  b[299] = 'b';
  std::string ea = encode_npc_id_for_file(a), eb = encode_npc_id_for_file(b);
  EXPECT_NE(ea, eb);
  EXPECT_LE(("npc-" + ea + "-0123456789ab.settings.json").size(), 255u);
  EXPECT_EQ(ea.substr(0, 10), "aaaaaaaaaa");
  // A cut never leaves half of an escape behind.
  std::string slashes(300, '/');
  std::string es = encode_npc_id_for_file(slashes);
  EXPECT_LE(es.size(), 224u);
  std::string head = es.substr(0, es.find('~'));
  EXPECT_EQ(head.size() % 3, 0u);
}

TEST(HookSettings, IsTheCompactPreToolUseHook) {
  EXPECT_EQ(dump_json(hook_settings("/x/bridge --hook", "Bash")),
            R"({"hooks":{"PreToolUse":[{"hooks":[{"command":"/x/bridge --hook","timeout":300,"type":"command"}],"matcher":"Bash"}]}})");
}
