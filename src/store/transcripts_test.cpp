#include "store/transcripts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "util/paths.h"
#include "util/platform.h"

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

/// A scratch HOME holding .claude/projects; HOME is restored afterwards.
class TranscriptsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = join_path(temp_dir(), "transcripts-test-XXXXXX");
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    if (const char* home = std::getenv("HOME")) saved_home_ = home;
    ::setenv("HOME", root_.c_str(), 1);
    projects_ = join_path(root_, ".claude/projects");
    std::filesystem::create_directories(projects_);
  }

  void TearDown() override {
    if (saved_home_) {
      ::setenv("HOME", saved_home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
    std::filesystem::remove_all(root_);
  }

  // A new folder under the scratch root: a workspace.
  std::string make_workspace(const std::string& name) {
    std::string path = join_path(root_, name);
    std::filesystem::create_directories(path);
    return path;
  }

  // Writes `lines` (raw texts) as projects/folder/file_name and returns its path.
  std::string write_raw(const std::string& folder, const std::string& file_name,
                        const std::vector<std::string>& lines) {
    std::string dir = join_path(projects_, folder);
    std::filesystem::create_directories(dir);
    std::string path = join_path(dir, file_name);
    std::ofstream out(path, std::ios::binary);
    for (const std::string& line : lines) out << line << "\n";
    return path;
  }

  std::string write_transcript(const std::string& folder, const std::string& session_id,
                               const std::vector<Json>& lines) {
    std::vector<std::string> raw;
    for (const Json& line : lines) raw.push_back(line.dump());
    return write_raw(folder, session_id + ".jsonl", raw);
  }

  std::string root_;
  std::optional<std::string> saved_home_;
  std::string projects_;
};

TEST_F(TranscriptsTest, EncodesWorkspacesAsTheCliAndAsSlashesOnly) {
  EXPECT_EQ(projects_dir(), projects_);
  EXPECT_EQ(encode_workspace("/home/u/my_proj.v2"), "-home-u-my_proj.v2");
  EXPECT_EQ(cli_encode_workspace("/tmp/my_ws.v2 x"), "-tmp-my-ws-v2-x");
  // é is one UTF-16 unit, the emoji two; a stray byte is one character.
  EXPECT_EQ(cli_encode_workspace("/a/\xC3\xA9\xF0\x9F\x98\x80z\xFF"), "-a----z-");
}

TEST_F(TranscriptsTest, FolderNamedByTheCliWinsWithoutReadingTranscripts) {
  std::string workspace = make_workspace("my_ws.v2 x");
  // A transcript recording this workspace sorts first, but the named folder is taken at once.
  write_transcript("-aaa", "s1", {cwd_line(workspace)});
  std::string named = join_path(projects_, cli_encode_workspace(workspace));
  std::filesystem::create_directories(named);
  std::filesystem::create_directories(join_path(projects_, encode_workspace(workspace)));
  EXPECT_EQ(workspace_folder(workspace), named);
}

TEST_F(TranscriptsTest, FolderNamedBySlashesAloneIsFoundSecond) {
  std::string workspace = make_workspace("old_style.ws");
  std::string named = join_path(projects_, encode_workspace(workspace));
  std::filesystem::create_directories(named);
  EXPECT_EQ(workspace_folder(workspace), named);
}

TEST_F(TranscriptsTest, FolderIsFoundByTheRecordedCwdWithinTheFirst41Lines) {
  std::string early = make_workspace("early");
  std::string late = make_workspace("late");
  std::string edge = make_workspace("edge");
  write_transcript("a-other", "s0", {cwd_line("/somewhere/else")});
  write_transcript("b-renamed", "s1", {assistant_line("no cwd here"), cwd_line(early)});

  std::vector<std::string> filler(40, "{\"type\":\"progress\"}");
  std::vector<std::string> line_41 = filler;
  line_41.push_back(cwd_line(edge).dump());
  write_raw("c-edge", "s2.jsonl", line_41);
  std::vector<std::string> line_42 = filler;
  line_42.push_back("{\"type\":\"progress\"}");
  line_42.push_back(cwd_line(late).dump());
  write_raw("d-late", "s3.jsonl", line_42);

  EXPECT_EQ(workspace_folder(early), join_path(projects_, "b-renamed"));
  EXPECT_EQ(workspace_folder(edge), join_path(projects_, "c-edge"));
  std::string not_found = workspace_folder(late);
  EXPECT_NE(not_found, join_path(projects_, "d-late"));
  EXPECT_FALSE(is_directory(not_found));
}

TEST_F(TranscriptsTest, SymlinkedWorkspaceIsFoundUnderItsResolvedPath) {
  std::string real = make_workspace("real");
  std::string link = join_path(root_, "link");
  ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
  char* resolved = ::realpath(real.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  std::string real_path = resolved;
  std::free(resolved);
  std::string named = join_path(projects_, cli_encode_workspace(real_path));
  std::filesystem::create_directories(named);
  EXPECT_EQ(workspace_folder(link), named);

  std::string real2 = make_workspace("real2");
  std::string link2 = join_path(root_, "link2");
  ASSERT_EQ(::symlink(real2.c_str(), link2.c_str()), 0);
  resolved = ::realpath(real2.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  write_transcript("renamed", "s", {cwd_line(resolved)});
  std::free(resolved);
  EXPECT_EQ(workspace_folder(link2), join_path(projects_, "renamed"));
}

TEST_F(TranscriptsTest, OnlyFoundFoldersAreCached) {
  std::string workspace = make_workspace("fresh");
  std::string missing = workspace_folder(workspace);
  EXPECT_FALSE(is_directory(missing));

  // The CLI's first session appears later: it is seen.
  write_transcript("later", "s", {cwd_line(workspace)});
  EXPECT_EQ(workspace_folder(workspace), join_path(projects_, "later"));

  // Once found, the folder stays what it was for this process.
  std::filesystem::create_directories(missing);
  EXPECT_EQ(workspace_folder(workspace), join_path(projects_, "later"));
}

TEST_F(TranscriptsTest, ScanCountsMessagesAndTakesFirstTimestampAndTitle) {
  std::string path = write_raw("p", "s.jsonl",
                               {
                                   R"({"type":"custom-title","customTitle":""})",
                                   R"({"type":"custom-title","customTitle": broken)",
                                   user_line("hi", "T1").dump(),  // too short for a label
                                   assistant_line("Hello there").dump(),
                                   R"({"type":"custom-title","customTitle":"My Title"})",
                                   user_line("Tell me more", "T3").dump(),  // 12 characters
                                   user_line("Something else entirely").dump(),
                                   R"({"type":"custom-title","customTitle":"Second"})",
                                   R"({"type":"user", not json)",
                                   R"({"type":"system","role":"user"})",
                               });
  TranscriptSummary s = scan_transcript(path);
  EXPECT_EQ(s.messages, 4u);
  EXPECT_EQ(s.started, "T1");
  EXPECT_EQ(s.first_prompt, "Tell me more");
  EXPECT_EQ(s.title, "My Title");
  EXPECT_EQ(s.bytes, std::filesystem::file_size(path));
  EXPECT_GT(s.modified, 0.0);

  TranscriptSummary missing = scan_transcript(join_path(projects_, "p/none.jsonl"));
  EXPECT_EQ(missing.messages, 0u);
  EXPECT_EQ(missing.bytes, 0u);
  EXPECT_EQ(missing.modified, 0.0);
}

TEST_F(TranscriptsTest, LabelIsTheFirstSubstantialUserTextCollapsedAndCut) {
  std::string e_acute = "\xC3\xA9";
  std::string hundred, seventy;
  for (int i = 0; i < 100; ++i) hundred += e_acute;
  for (int i = 0; i < 70; ++i) seventy += e_acute;
  std::string long_text(20000, 'x');

  struct Case {
    const char* name;
    std::vector<std::string> lines;
    std::string label;
  };
  const std::vector<Case> cases = {
      {"eleven characters are not enough",
       {user_line("abcdefghijk").dump(), user_line("abcdefghijkl").dump()},
       "abcdefghijkl"},
      {"cut at 70 characters", {user_line(hundred).dump()}, seventy},
      {"only text blocks of an array",
       {user_line(Json::array({{{"type", "text"}, {"text", "Look at this picture"}},
                               {{"type", "image"}, {"text", "IGNORED"}},
                               "a bare string",
                               {{"type", "text"}, {"text", "please"}}}))
            .dump()},
       "Look at this picture please"},
      {"white space collapsed",
       {user_line("  quickbrown \n\n  foxjumping  ").dump(), user_line("x\xE3\x80\x80y").dump()},
       "quickbrown foxjumping"},
      {"ideographic space is white space",
       {user_line("  abc\xE3\x80\x80\xE3\x80\x80"
                  "defghijkl ")
            .dump()},
       "abc defghijkl"},
      {"lines longer than the buffer",
       {assistant_line(long_text).dump(), user_line(long_text).dump()},
       long_text.substr(0, 70)},
      {"invalid UTF-8 replaced",
       {R"({"type":"user","message":{"content":"caf)" + std::string("\xFF") + R"( is open now"}})"},
       "caf\xEF\xBF\xBD is open now"},
      {"message not an object", {R"({"type":"user","message":"Some long text here"})"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(scan_transcript(write_raw("labels", "case.jsonl", c.lines)).first_prompt, c.label);
  }
}

TEST_F(TranscriptsTest, ListsSessionsWithMessagesNewestFirst) {
  std::string workspace = make_workspace("listed");
  std::string folder = cli_encode_workspace(workspace);
  std::string older =
      write_transcript(folder, "older", {user_line("The older conversation", "T0")});
  std::string newer = write_transcript(folder, "newer",
                                       {user_line("The newer conversation", "T1"),
                                        assistant_line("Yes"),
                                        {{"type", "custom-title"}, {"customTitle", "Named"}}});
  write_transcript(folder, "title-only", {{{"type", "custom-title"}, {"customTitle", "Alone"}}});
  write_raw(folder, ".jsonl", {user_line("Not a session at all").dump()});
  write_raw(folder, "notes.txt", {user_line("Not a transcript at all").dump()});
  auto set_mtime = [](const std::string& path, time_t seconds) {
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  };
  set_mtime(older, 1000);
  set_mtime(newer, 2000);

  Json sessions = list_sessions(workspace);
  ASSERT_EQ(sessions.size(), 2u) << sessions.dump();
  EXPECT_EQ(sessions[0], (Json{{"session_id", "newer"},
                               {"messages", 2},
                               {"label", "The newer conversation"},
                               {"title", "Named"},
                               {"started", "T1"},
                               {"bytes", std::filesystem::file_size(newer)},
                               {"modified", 2000.0}}));
  EXPECT_EQ(sessions[1]["session_id"], "older");
  EXPECT_EQ(sessions[1]["modified"], 1000.0);

  EXPECT_EQ(list_sessions(make_workspace("never-used")), Json::array());
}

TEST_F(TranscriptsTest, FindsTranscriptsOnlyForPlainSessionIds) {
  write_transcript("b", "abc", {user_line("second folder")});
  std::string first = write_transcript("a", "abc", {user_line("first folder")});
  EXPECT_EQ(find_transcript("abc"), first);
  EXPECT_EQ(find_transcript("abd"), std::nullopt);

  // Decoys that a careless join would reach.
  write_raw("p", "...jsonl", {});
  write_raw("p", "..jsonl", {});
  write_raw("p/a", "b.jsonl", {});
  write_raw("p", "s", {});
  for (const std::string& id :
       {std::string(""), std::string(".."), std::string("."), std::string("a/b"),
        std::string("/p/a/b"), std::string("s\0x", 3)}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(find_transcript(id), std::nullopt);
  }
}

TEST_F(TranscriptsTest, SummaryAndSessionInfoDescribeTheSession) {
  std::string path = write_transcript(
      "p", "sess", {user_line("What is the forge for?", "T9"), assistant_line("Smithing.")});
  EXPECT_EQ(transcript_summary("sess"), (Json{{"messages", 2},
                                              {"label", "What is the forge for?"},
                                              {"started", "T9"},
                                              {"bytes", std::filesystem::file_size(path)}}));
  Json empty = {{"messages", 0}, {"label", ""}, {"started", ""}, {"bytes", 0}};
  EXPECT_EQ(transcript_summary(""), empty);
  EXPECT_EQ(transcript_summary("unknown"), empty);

  Json info = session_info("sess", true);
  EXPECT_EQ(info["session_id"], "sess");
  EXPECT_EQ(info["resumed"], true);
  EXPECT_EQ(info["messages"], 2);
  EXPECT_EQ(info.size(), 6u);
}

}  // namespace
