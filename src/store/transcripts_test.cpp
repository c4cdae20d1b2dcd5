#include "store/transcripts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "util/paths.h"
#include "util/test_support.h"

namespace {

Json user_line(const Json& content) {
  return {{"type", "user"}, {"message", {{"role", "user"}, {"content", content}}}};
}

Json cwd_line(const std::string& cwd) {
  return {{"type", "system"}, {"cwd", cwd}, {"timestamp", "t"}};
}

class TranscriptsTest : public ::testing::Test {
 protected:
  TranscriptsTest() { std::filesystem::create_directories(projects_); }

  // Writes projects/folder/file_name and returns its path; a string line stands as written.
  std::string write_lines(const std::string& folder, const std::string& file_name,
                          const std::vector<Json>& lines) {
    std::string path = projects_ + "/" + folder + "/" + file_name, text;
    for (const Json& line : lines)
      text += (line.is_string() ? line.get<std::string>() : line.dump()) + "\n";
    write_file(path, text);
    return path;
  }

  ScratchHome root_;
  std::string projects_ = root_ / ".claude/projects";
};

TEST_F(TranscriptsTest, FolderIsFoundByTheCwdOfTheFirst41LinesAndCachedOnceFound) {
  // é is one UTF-16 unit, the emoji two, a stray byte one character. (ASCII: GameRestarts.)
  EXPECT_EQ(cli_encode_workspace("/a/\xC3\xA9\xF0\x9F\x98\x80z\xFF"), "-a----z-");
  std::string early = root_ / "early", late = root_ / "late", edge = root_ / "edge";
  for (const std::string& workspace : {early, late, edge})
    std::filesystem::create_directories(workspace);
  write_lines("a-other", "s0.jsonl", {cwd_line("/somewhere/else")});
  write_lines("b-renamed", "s1.jsonl", {user_line("no cwd here"), cwd_line(early)});
  std::vector<Json> lines(40, {{"type", "progress"}});
  lines.push_back(cwd_line(edge));
  write_lines("c-edge", "s2.jsonl", lines);
  lines.back() = lines.front();
  lines.push_back(cwd_line(late));
  write_lines("d-late", "s3.jsonl", lines);
  EXPECT_EQ(workspace_folder(early), projects_ + "/b-renamed");
  EXPECT_EQ(workspace_folder(edge), projects_ + "/c-edge");
  std::string not_found = workspace_folder(late);
  EXPECT_FALSE(is_directory(not_found));

  // Only a found folder is cached (the CLI's first session may appear later), and then kept.
  write_lines("later", "s.jsonl", {cwd_line(late)});
  EXPECT_EQ(workspace_folder(late), projects_ + "/later");
  std::filesystem::create_directories(not_found);
  EXPECT_EQ(workspace_folder(late), projects_ + "/later");
}

// Empty or broken titles, broken lines and other records are passed over. (Ordinary ones:
// the end-to-end GameRestarts.)
TEST_F(TranscriptsTest, ScanPassesOverWhatIsNotAMessageOrATitle) {
  TranscriptSummary s = scan_transcript(write_lines(
      "p", "s.jsonl",
      {R"({"type":"custom-title","customTitle":""})", R"({"type":"custom-title","customTitle": x)",
       R"({"type":"user","message":{"role":"user","content":"hi"},"timestamp":"T1"})",
       R"({"type":"user", not json)", R"({"type":"system","role":"user"})",
       R"({"type":"custom-title","customTitle":"T"})"}));
  EXPECT_EQ(s.messages, 1u);
  EXPECT_EQ(s.title, "T");
  EXPECT_EQ(scan_transcript(projects_ + "/p/none.jsonl").modified, 0.0);
}

TEST_F(TranscriptsTest, LabelIsTheFirstSubstantialUserTextCollapsedAndCut) {
  std::string seventy;
  for (int i = 0; i < 70; ++i) seventy += "\xC3\xA9";
  std::string long_text(20000, 'x');

  const Json blocks = Json::array({{{"type", "text"}, {"text", "Look at this picture"}},
                                   {{"type", "image"}, {"text", "IGNORED"}},
                                   "a bare string",
                                   {{"type", "text"}, {"text", "please"}}});
  const std::vector<std::pair<std::vector<Json>, std::string>> cases = {
      // Eleven characters are not enough.
      {{user_line("abcdefghijk"), user_line("abcdefghijkl")}, "abcdefghijkl"},
      {{user_line(seventy + seventy.substr(0, 60))}, seventy},  // cut at 70 characters
      {{user_line(blocks)}, "Look at this picture please"},     // only text blocks of an array
      // White space collapsed, ideographic space included.
      {{user_line("  abc\xE3\x80\x80\xE3\x80\x80" + std::string("defghijkl \n\n "))},
       "abc defghijkl"},
      // Lines longer than the buffer, the first no prompt.
      {{cwd_line(long_text), user_line(long_text)}, long_text.substr(0, 70)},
      // Invalid UTF-8 replaced.
      {{std::string(R"({"type":"user","message":{"content":"caf)") + "\xFF is open now\"}}"},
       "caf\xEF\xBF\xBD is open now"},
      {{R"({"type":"user","message":"Some long text here"})"}, ""},  // message not an object
  };
  for (const auto& [lines, label] : cases)
    EXPECT_EQ(scan_transcript(write_lines("labels", "case.jsonl", lines)).first_prompt, label);
}

TEST_F(TranscriptsTest, FindsTranscriptsOnlyForPlainSessionIds) {
  write_lines("b", "abc.jsonl", {user_line("second folder")});
  std::string first = write_lines("a", "abc.jsonl", {user_line("first folder")});
  EXPECT_EQ(find_transcript("abc"), first);
  EXPECT_EQ(find_transcript("abd"), std::nullopt);

  // Decoys that a careless join would reach.
  for (const char* decoy : {"p/...jsonl", "p/..jsonl", "p/a/b.jsonl", "p/s"})
    write_file(projects_ + "/" + decoy, "");
  using namespace std::string_literals;
  for (const std::string& id : {""s, ".."s, "."s, "a/b"s, "/p/a/b"s, "s\0x"s}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(find_transcript(id), std::nullopt);
  }
}

}  // namespace
