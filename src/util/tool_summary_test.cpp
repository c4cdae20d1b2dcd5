#include "util/tool_summary.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

TEST(ToolSummary, CategoryByExactNameDetailAndNoteByToolNameCutByCharacter) {
  // Names match exactly and case-sensitively.
  const std::vector<std::pair<const char*, const char*>> categories = {
      {"Read", "read"},       {"NotebookRead", "read"},
      {"MultiEdit", "write"}, {"NotebookEdit", "write"},
      {"KillShell", "exec"},  {"WebSearch", "net"},
      {"Agent", "delegate"},  {"bash", "other"},
      {"Bash ", "other"},     {"", "other"}};
  for (const auto& [name, category] : categories) EXPECT_EQ(tool_category(name), category) << name;

  const std::vector<std::array<const char*, 5>> cases = {
      // Paths are shown relative to the workspace.
      {"Read", R"({"file_path":"/home/p/world/src/main"})", "/home/p/world", "src/main", ""},
      {"Read", R"({"file_path":"/srv/other/file"})", "/home/p/world", "/srv/other/file", ""},
      {"Read", R"({"file_path":"/home/p/world"})", "/home/p/world", ".", ""},
      // A textual prefix that is not a component prefix climbs out of the workspace.
      {"Read", R"({"file_path":"/a/bc/d"})", "/a/b", "../bc/d", ""},
      // No workspace at all: unchanged.
      {"Read", R"({"file_path":"/x/./y"})", "", "/x/./y", ""},
      // Empty and "." components are dropped on both sides.
      {"Read", R"({"file_path":"/a/b//./c"})", "/a/b//", "c", ""},
      // Path keys win in order, present even when null or not a string.
      {"Grep", R"({"pattern":"TODO","path":"/w/src"})", "/w", "src", "/w/src"},
      {"X", R"({"path":"b","file_path":"a"})", "", "a", ""},
      {"NotebookEdit", R"({"notebook_path":"/w/n.ipynb"})", "/w", "n.ipynb", ""},
      {"Bash", R"({"path":null,"command":"ls"})", "", "", ""},
      {"Read", R"({"file_path":7})", "", "7", ""},
      // Without a path, by tool name.
      {"Bash", R"({"command":"","description":"List"})", "", "List", "List"},
      {"Glob", R"({"pattern":"*.cpp"})", "", "*.cpp", ""},
      {"Task", R"({"description":"Find it","subagent_type":"explorer"})", "", "Find it",
       "explorer"},
      {"WebFetch", R"({"url":"https://x.test/"})", "", "https://x.test/", ""},
      {"WebSearch", R"({"query":"weather"})", "", "weather", ""},
      {"Mystery", R"({"command":"ls"})", "", "", ""},
      {"Bash", R"("ls")", "", "", ""},
      {"Bash", R"(["ls"])", "", "", ""},
      {"Edit", R"({"old_string":"a\nb"})", "", "", "replacing 2 lines"},
      {"Edit", R"({"old_string":""})", "", "", ""},
      {"Edit", R"("a\nb")", "", "", ""},
      {"MultiEdit", R"({"edits":[{},{},{}],"old_string":"x"})", "", "", "3 edits"},
      // An empty edit list falls back to the old text.
      {"MultiEdit", R"({"edits":[],"old_string":"x"})", "", "", "replacing 1 lines"},
      {"Write", R"({"content":"one line\n"})", "", "", "2 lines"},
      {"Write", R"({"content":""})", "", "", ""},
      {"NotebookEdit", R"({"content":"","new_source":"a\nb\nc"})", "", "", "3 lines"},
  };
  for (const auto& [tool, text, workspace, detail, note] : cases) {
    Json input = *parse_json(text);
    EXPECT_EQ(tool_detail(tool, input, workspace), detail) << tool << " " << text;
    EXPECT_EQ(tool_note(tool, input), note) << tool << " " << text;
  }

  std::string command;
  for (int i = 0; i < 700; ++i) command += "\xC3\xA9";  // é: two bytes, one character
  EXPECT_EQ(tool_detail("BashOutput", Json{{"command", command}}, ""), command.substr(0, 1200));
  Json described = Json{{"description", std::string(250, 'd')}};
  EXPECT_EQ(tool_note("Bash", described), std::string(200, 'd'));
  EXPECT_EQ(tool_note("bash", described), "");
}
