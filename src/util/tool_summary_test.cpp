#include "util/tool_summary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Json input(const char* text) { return *parse_json(text); }

TEST(ToolCategory, NamesMatchExactlyAndCaseSensitively) {
  EXPECT_EQ(tool_category("Read"), "read");
  EXPECT_EQ(tool_category("NotebookRead"), "read");
  EXPECT_EQ(tool_category("MultiEdit"), "write");
  EXPECT_EQ(tool_category("NotebookEdit"), "write");
  EXPECT_EQ(tool_category("KillShell"), "exec");
  EXPECT_EQ(tool_category("WebSearch"), "net");
  EXPECT_EQ(tool_category("Agent"), "delegate");
  EXPECT_EQ(tool_category("bash"), "other");
  EXPECT_EQ(tool_category("Bash "), "other");
  EXPECT_EQ(tool_category(""), "other");
}

TEST(ToolDetail, PathsAreShownRelativeToTheWorkspace) {
  const std::string ws = "/home/p/world";
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/home/p/world/src/main"})"), ws),
            "src/main");
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/etc/passwd"})"), ws), "/etc/passwd");
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/home/p/world"})"), ws), ".");
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/home/p/world/"})"), ws), ".");
  // A textual prefix that is not a component prefix climbs out of the workspace.
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/a/bc/d"})"), "/a/b"), "../bc/d");
  // Shorter than the workspace, or no workspace at all: unchanged.
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/home/p"})"), ws), "/home/p");
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/x/./y"})"), ""), "/x/./y");
  // Empty and "." components are dropped on both sides.
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":"/a/b//./c"})"), "/a/b/"), "c");
}

TEST(ToolDetail, PathKeysWinInOrderWhateverTheirValue) {
  Json grep = input(R"({"pattern":"TODO","path":"/w/src"})");
  EXPECT_EQ(tool_detail("Grep", grep, "/w"), "src");
  EXPECT_EQ(tool_note("Grep", grep), "/w/src");
  EXPECT_EQ(tool_detail("X", input(R"({"path":"b","file_path":"a"})"), ""), "a");
  EXPECT_EQ(tool_detail("NotebookEdit", input(R"({"notebook_path":"/w/n.ipynb"})"), "/w"),
            "n.ipynb");
  // A present key counts even when its value is null or not a string.
  EXPECT_EQ(tool_detail("Bash", input(R"({"path":null,"command":"ls"})"), ""), "");
  EXPECT_EQ(tool_detail("Read", input(R"({"file_path":7})"), ""), "7");
}

TEST(ToolDetail, ByToolNameWhenNoPathIsGiven) {
  EXPECT_EQ(tool_detail("Bash", input(R"({"command":"ls -la"})"), "/w"), "ls -la");
  EXPECT_EQ(tool_detail("Bash", input(R"({"command":"","description":"List"})"), ""), "List");
  EXPECT_EQ(tool_detail("Glob", input(R"({"pattern":"*.cpp"})"), ""), "*.cpp");
  EXPECT_EQ(tool_detail("Task", input(R"({"description":"Find it"})"), ""), "Find it");
  EXPECT_EQ(tool_detail("WebFetch", input(R"({"url":"https://x.test/"})"), ""),
            "https://x.test/");
  EXPECT_EQ(tool_detail("WebSearch", input(R"({"query":"weather"})"), ""), "weather");
  EXPECT_EQ(tool_detail("Mystery", input(R"({"command":"ls"})"), ""), "");
  EXPECT_EQ(tool_detail("Bash", input(R"("ls")"), ""), "");
  EXPECT_EQ(tool_detail("Bash", input(R"(["ls"])"), ""), "");
}

TEST(ToolDetail, CommandsAreCutTo600Characters) {
  std::string command;
  for (int i = 0; i < 700; ++i) command += "\xC3\xA9";  // é: two bytes, one character
  Json in = Json::object();
  in["command"] = command;
  std::string detail = tool_detail("BashOutput", in, "");
  EXPECT_EQ(detail, command.substr(0, 1200));
}

TEST(ToolNote, ByToolName) {
  EXPECT_EQ(tool_note("Edit", input(R"({"old_string":"a\nb"})")), "replacing 2 lines");
  EXPECT_EQ(tool_note("Edit", input(R"({"old_string":""})")), "");
  EXPECT_EQ(tool_note("MultiEdit", input(R"({"edits":[{},{},{}],"old_string":"x"})")),
            "3 edits");
  // An empty edit list falls back to the old text.
  EXPECT_EQ(tool_note("MultiEdit", input(R"({"edits":[],"old_string":"x"})")),
            "replacing 1 lines");
  EXPECT_EQ(tool_note("Write", input(R"({"content":"one line\n"})")), "2 lines");
  EXPECT_EQ(tool_note("Write", input(R"({"content":""})")), "");
  EXPECT_EQ(tool_note("NotebookEdit", input(R"({"content":"","new_source":"a\nb\nc"})")),
            "3 lines");
  EXPECT_EQ(tool_note("Glob", input(R"({"pattern":"*"})")), "");
  EXPECT_EQ(tool_note("Task", input(R"({"subagent_type":"explorer"})")), "explorer");
  EXPECT_EQ(tool_note("Read", input(R"({"file_path":"/x"})")), "");
  EXPECT_EQ(tool_note("Edit", input(R"("a\nb")")), "");
}

TEST(ToolNote, BashDescriptionIsCutTo200Characters) {
  Json in = Json::object();
  in["description"] = std::string(250, 'd');
  EXPECT_EQ(tool_note("Bash", in), std::string(200, 'd'));
  EXPECT_EQ(tool_note("bash", in), "");
}

}  // namespace
