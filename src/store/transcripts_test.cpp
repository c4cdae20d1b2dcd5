#include "store/transcripts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "util/paths.h"
#include "util/test_support.h"

namespace {

Json user_line(const Json& content, const std::string& timestamp = "") {
  Json line = {{"type", "user"}, {"message", {{"role", "user"}, {"content", content}}}};
  if (!timestamp.empty()) line["timestamp"] = timestamp;
  return line;
}

Json assistant_line(const std::string& text) {
  return {{"type", "assistant"},
          {"message", {{"role", "assistant"}, {"content", {{{"type", "text"}, {"text", text}}}}}}};
}

Json cwd_line(const std::string& cwd) {
  return {{"type", "system"}, {"cwd", cwd}, {"timestamp", "t"}};
}

// A scratch HOME holding .claude/projects.
class TranscriptsTest : public ::testing::Test {
 protected:
  TranscriptsTest() { std::filesystem::create_directories(projects_); }

  // Writes `lines` (raw texts) as projects/folder/file_name and returns its path.
  std::string write_raw(const std::string& folder, const std::string& file_name,
                        const std::vector<std::string>& lines) {
    std::string path = projects_ + "/" + folder + "/" + file_name, text;
    for (const std::string& line : lines) text += line + "\n";
    write_file(path, text);
    return path;
  }

  std::string write_transcript(const std::string& folder, const std::string& session_id,
                               const std::vector<Json>& lines) {
    std::vector<std::string> raw;
    for (const Json& line : lines) raw.push_back(line.dump());
    return write_raw(folder, session_id + ".jsonl", raw);
  }

  ScratchHome root_;
  std::string projects_ = root_ / ".claude/projects";
};

TEST_F(TranscriptsTest, FolderIsFoundByTheCwdOfTheFirst41LinesAndCachedOnceFound) {
  // é is one UTF-16 unit, the emoji two; a stray byte is one character. (ASCII folders, named
  // either way: the end-to-end GameRestarts.)
  EXPECT_EQ(cli_encode_workspace("/a/\xC3\xA9\xF0\x9F\x98\x80z\xFF"), "-a----z-");
  std::string early = root_ / "early", late = root_ / "late", edge = root_ / "edge";
  for (const std::string& workspace : {early, late, edge}) {
    std::filesystem::create_directories(workspace);
  }
  write_transcript("a-other", "s0", {cwd_line("/somewhere/else")});
  write_transcript("b-renamed", "s1", {assistant_line("no cwd here"), cwd_line(early)});
  std::vector<std::string> lines(40, "{\"type\":\"progress\"}");
  lines.push_back(cwd_line(edge).dump());
  write_raw("c-edge", "s2.jsonl", lines);
  lines.back() = "{\"type\":\"progress\"}";
  lines.push_back(cwd_line(late).dump());
  write_raw("d-late", "s3.jsonl", lines);
  EXPECT_EQ(workspace_folder(early), projects_ + "/b-renamed");
  EXPECT_EQ(workspace_folder(edge), projects_ + "/c-edge");
  std::string not_found = workspace_folder(late);
  EXPECT_NE(not_found, projects_ + "/d-late");
  EXPECT_FALSE(is_directory(not_found));

  // Only found folders are cached: the CLI's first session may appear later; once found, the
  // folder stays what it was for this process.
  write_transcript("later", "s", {cwd_line(late)});
  EXPECT_EQ(workspace_folder(late), projects_ + "/later");
  std::filesystem::create_directories(not_found);
  EXPECT_EQ(workspace_folder(late), projects_ + "/later");
}

// Empty or broken titles, broken lines and other records are passed over. (Counts, labels,
// titles and times of ordinary transcripts: the end-to-end GameRestarts.)
TEST_F(TranscriptsTest, ScanPassesOverWhatIsNotAMessageOrATitle) {
  TranscriptSummary s =
      scan_transcript(write_raw("p", "s.jsonl",
                                {
                                    R"({"type":"custom-title","customTitle":""})",
                                    R"({"type":"custom-title","customTitle": x)",
                                    user_line("hi", "T1").dump(),
                                    R"({"type":"user", not json)",
                                    R"({"type":"system","role":"user"})",
                                    R"({"type":"custom-title","customTitle":"T"})",
                                }));
  EXPECT_EQ(s.messages, 1u);
  EXPECT_EQ(s.started, "T1");
  EXPECT_EQ(s.title, "T");
  EXPECT_EQ(scan_transcript(projects_ + "/p/none.jsonl").modified, 0.0);
}

TEST_F(TranscriptsTest, LabelIsTheFirstSubstantialUserTextCollapsedAndCut) {
  std::string seventy;
  for (int i = 0; i < 70; ++i) seventy += "\xC3\xA9";
  std::string hundred = seventy + seventy.substr(0, 60);
  std::string long_text(20000, 'x');

  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::string label;
  };
  const Json blocks = Json::array({{{"type", "text"}, {"text", "Look at this picture"}},
                                   {{"type", "image"}, {"text", "IGNORED"}},
                                   "a bare string",
                                   {{"type", "text"}, {"text", "please"}}});
  const std::vector<Case> cases = {
      {"eleven characters are not enough",
       {user_line("abcdefghijk").dump(), user_line("abcdefghijkl").dump()},
       "abcdefghijkl"},
      {"cut at 70 characters", {user_line(hundred).dump()}, seventy},
      {"only text blocks of an array", {user_line(blocks).dump()}, "Look at this picture please"},
      {"white space collapsed, ideographic space included",
       {user_line("  abc\xE3\x80\x80\xE3\x80\x80" + std::string("defghijkl \n\n ")).dump()},
       "abc defghijkl"},
      {"lines longer than the buffer",
       {assistant_line(long_text).dump(), user_line(long_text).dump()},
       long_text.substr(0, 70)},
      {"invalid UTF-8 replaced",
       {std::string(R"({"type":"user","message":{"content":"caf)") + "\xFF is open now\"}}"},
       "caf\xEF\xBF\xBD is open now"},
      {"message not an object", {R"({"type":"user","message":"Some long text here"})"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(scan_transcript(write_raw("labels", "case.jsonl", c.lines)).first_prompt, c.label);
  }
}

TEST_F(TranscriptsTest, FindsTranscriptsOnlyForPlainSessionIds) {
  write_transcript("b", "abc", {user_line("second folder")});
  std::string first = write_transcript("a", "abc", {user_line("first folder")});
  EXPECT_EQ(find_transcript("abc"), first);
  EXPECT_EQ(find_transcript("abd"), std::nullopt);
  EXPECT_EQ(transcript_summary("abd"),
            (Json{{"messages", 0}, {"label", ""}, {"started", ""}, {"bytes", 0}}));

  // Decoys that a careless join would reach.
  write_raw("p", "...jsonl", {});
  write_raw("p", "..jsonl", {});
  write_raw("p/a", "b.jsonl", {});
  write_raw("p", "s", {});
  using namespace std::string_literals;
  for (const std::string& id : {""s, ".."s, "."s, "a/b"s, "/p/a/b"s, "s\0x"s}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(find_transcript(id), std::nullopt);
  }
}

}  // namespace
