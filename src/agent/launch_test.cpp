#include "agent/launch.h"

#include <gtest/gtest.h>

TEST(Launch, ShellQuotingLeavesPlainTextAndQuotesEverythingElse) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"smith", "smith"},
      {"a@b%c+d=e:f,g./h-_", "a@b%c+d=e:f,g./h-_"},
      {"", "''"},
      {"it's", "'it'\"'\"'s'"},
      {"/opt/q b/bridge", "'/opt/q b/bridge'"},
      {"caf\xC3\xA9", "'caf\xC3\xA9'"},
      {"$(rm -rf ~)", "'$(rm -rf ~)'"}};
  for (const auto& [text, quoted] : cases) EXPECT_EQ(shell_quote(text), quoted) << text;
}

TEST(Launch, SettingsFileNamesEncodeTheIdAndLongOnesAreCutButStayUnique) {
  // ".." is inside "npc-..-TOKEN", still one plain name.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"smith_2.v-1", "smith_2.v-1"}, {"a/b c", "a%2Fb%20c"}, {"..", ".."}, {"\xC3\xA9", "%C3%A9"}};
  for (const auto& [id, encoded] : cases) EXPECT_EQ(encode_npc_id_for_file(id), encoded);
  EXPECT_EQ(encode_npc_id_for_file(std::string("x\0y", 3)), "x%00y");
  std::string a(300, 'a'), b(300, 'a');
  b[299] = 'b';
  std::string ea = encode_npc_id_for_file(a);
  EXPECT_NE(ea, encode_npc_id_for_file(b));
  EXPECT_EQ(ea.substr(0, 10), "aaaaaaaaaa");
  // A cut never leaves half of an escape behind.
  std::string es = encode_npc_id_for_file(std::string(300, '/'));
  EXPECT_LE(es.size(), 224u);
  EXPECT_EQ(es.substr(0, es.find('~')).size() % 3, 0u);
}
