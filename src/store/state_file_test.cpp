#include "store/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "config/config.h"
#include "util/paths.h"
#include "util/platform.h"

namespace {

const char* const CONFIGURED_MODEL = "configured-model";

/// A scratch HOME with a default workspace, a stored Config and a state file path inside it
/// (the file's folder does not exist yet). HOME is restored afterwards.
class StateFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = join_path(temp_dir(), "state-file-test-XXXXXX");
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    if (const char* home = std::getenv("HOME")) saved_home_ = home;
    ::setenv("HOME", root_.c_str(), 1);
    default_workspace_ = join_path(root_, "default");
    ASSERT_EQ(::mkdir(default_workspace_.c_str(), 0755), 0);
    Config cfg;
    cfg.workspace = default_workspace_;
    cfg.model = CONFIGURED_MODEL;
    store_config(cfg);
    folder_ = join_path(root_, ".cache/quillhaven");
    use_path(join_path(folder_, "bridge_state.json"));
  }

  void TearDown() override {
    if (saved_home_) {
      ::setenv("HOME", saved_home_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
    std::filesystem::remove_all(root_);
  }

  void use_path(const std::string& path) {
    path_ = path;
    store_state_file_path(path);
  }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static void write_file(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  // Names in `folder` that begin with `prefix`.
  static std::vector<std::string> names_starting(const std::string& folder,
                                                 const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      std::string name = entry.path().filename().string();
      if (name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    return names;
  }

  // Saves `values` as what the NPC `id` has now.
  static void remember(const std::string& id, const Remembered& values) {
    remember_npc(id, [&] { return values; });
  }

  Recalled recall(const std::string& id) const { return recall_npc(id, default_workspace_); }

  std::string root_;
  std::optional<std::string> saved_home_;
  std::string default_workspace_;
  std::string folder_;
  std::string path_;
};

TEST_F(StateFileTest, WritesTheIndentedFormWithSortedKeys) {
  Remembered guard;
  guard.workspace = "/Users/p/game";
  remember("guard", guard);
  EXPECT_EQ(read_file(path_),
            "{\n"
            "  \"guard\": {\n"
            "    \"model\": \"\",\n"
            "    \"persona\": \"\",\n"
            "    \"session_id\": \"\",\n"
            "    \"workspace\": \"/Users/p/game\",\n"
            "    \"workspace_source\": \"default\"\n"
            "  }\n"
            "}");

  ASSERT_FALSE(write_state(Json::object()).has_value());
  EXPECT_EQ(read_file(path_), "{}");
}

TEST_F(StateFileTest, RememberCreatesTheFolderChainAndCarriesOtherEntries) {
  Remembered guard;
  guard.workspace = default_workspace_;
  remember("guard", guard);
  ASSERT_TRUE(is_regular_file(path_));
  EXPECT_EQ(load_state().size(), 1u);

  Json others = {{"smith", {{"persona", "gruff"}, {"custom", true}}}, {"note", 5}};
  Json before = others;
  before["guard"] = {{"workspace", "/old"}, {"extra", 1}};
  ASSERT_FALSE(write_state(before).has_value());

  guard.session_id = "s-1";
  guard.persona = "watchful";
  remember("guard", guard);
  Json after = load_state();
  EXPECT_EQ(after["smith"], others["smith"]);
  EXPECT_EQ(after["note"], 5);
  EXPECT_EQ(after["guard"], (Json{{"model", ""},
                                  {"persona", "watchful"},
                                  {"session_id", "s-1"},
                                  {"workspace", default_workspace_},
                                  {"workspace_source", "default"}}));
  EXPECT_TRUE(names_starting(folder_, ".bridge_state-").empty());
}

TEST_F(StateFileTest, ConcurrentRemembersKeepEveryEntry) {
  constexpr int NPCS = 8;
  std::vector<std::thread> threads;
  for (int i = 0; i < NPCS; ++i) {
    threads.emplace_back([i] {
      Remembered values;
      values.session_id = "session" + std::to_string(i);
      for (int round = 0; round < 5; ++round) remember("npc" + std::to_string(i), values);
    });
  }
  for (auto& thread : threads) thread.join();

  Json stored = load_state();
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(NPCS));
  for (int i = 0; i < NPCS; ++i) {
    EXPECT_EQ(stored["npc" + std::to_string(i)]["session_id"], "session" + std::to_string(i));
  }
  EXPECT_TRUE(names_starting(folder_, ".bridge_state-").empty());
}

TEST_F(StateFileTest, UnreadableFileIsKeptAsideBeforeTheFirstRewrite) {
  const std::vector<std::string> unreadable = {"not json", "[]", "\"text\"", "{\"a\": \"\xff\"}",
                                               "{\"a\": 1} \xc3"};
  for (const std::string& contents : unreadable) {
    SCOPED_TRACE(contents);
    write_file(path_, contents);

    // Reading alone treats it as empty and leaves it where it is.
    EXPECT_FALSE(recall("a").workspace.has_value());
    EXPECT_TRUE(load_state().empty());
    EXPECT_EQ(read_file(path_), contents);

    Remembered keeper;
    keeper.workspace = default_workspace_;
    testing::internal::CaptureStderr();
    remember("keeper", keeper);
    std::string log = testing::internal::GetCapturedStderr();

    std::vector<std::string> aside = names_starting(folder_, "bridge_state.json.unreadable-");
    ASSERT_EQ(aside.size(), 1u);
    std::string aside_path = join_path(folder_, aside[0]);
    EXPECT_EQ(read_file(aside_path), contents);
    EXPECT_NE(log.find("[bridge] kept the unreadable state file aside as " + aside_path + "\n"),
              std::string::npos)
        << log;
    Json stored = load_state();
    EXPECT_EQ(stored.size(), 1u);
    EXPECT_TRUE(stored.contains("keeper"));
    std::filesystem::remove(aside_path);
  }
}

TEST_F(StateFileTest, MissingOrReadableFileIsNotKeptAside) {
  testing::internal::CaptureStderr();
  remember("guard", {});  // no file yet
  remember("guard", {});  // a good file
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, "");
  EXPECT_TRUE(names_starting(folder_, "bridge_state.json.").empty());
}

TEST_F(StateFileTest, FailedFolderCreationIsReported) {
  std::string blocker = join_path(root_, "blocker");
  write_file(blocker, "a file, not a folder");
  use_path(join_path(blocker, "sub/state.json"));

  std::optional<std::string> error = write_state(Json::object());
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("(os error "), std::string::npos) << *error;
  EXPECT_TRUE(names_starting(root_, ".bridge_state-").empty());
}

TEST_F(StateFileTest, FailedRenameLeavesNoTemporaryFile) {
  // A non-empty folder where the file should be: the rename over it fails.
  std::string occupied = join_path(root_, "occupied");
  write_file(join_path(occupied, "inside"), "x");
  use_path(occupied);

  EXPECT_TRUE(write_state(Json::object()).has_value());
  testing::internal::CaptureStderr();
  remember("guard", {});
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("[bridge] cannot save " + occupied + ": ", 0), 0u) << log;
  EXPECT_TRUE(names_starting(root_, ".bridge_state-").empty());
  EXPECT_TRUE(names_starting(root_, "occupied.").empty());  // a folder is never "kept aside"
}

TEST_F(StateFileTest, RecallAppliesRememberedChoices) {
  std::string chosen = join_path(root_, "chosen");
  ASSERT_EQ(::mkdir(chosen.c_str(), 0755), 0);
  ASSERT_FALSE(write_state({{"smith",
                             {{"workspace", chosen},
                              {"workspace_source", "explicit"},
                              {"session_id", "abc"},
                              {"persona", "a smith"},
                              {"model", ""}}}})
                   .has_value());
  Recalled state = recall("smith");
  EXPECT_EQ(state.workspace, chosen);
  EXPECT_EQ(state.session_id, "abc");
  EXPECT_EQ(state.persona, "a smith");
  EXPECT_EQ(state.model, "");  // the CLI's default chosen over the configured one

  Recalled other = recall("Smith");  // ids are case-sensitive
  EXPECT_FALSE(other.workspace.has_value());
  EXPECT_FALSE(other.session_id.has_value());
}

TEST_F(StateFileTest, RecallKeepsTheDefaultFolderWhenTheRememberedOneIsGone) {
  std::string gone = join_path(root_, "gone");
  ASSERT_FALSE(write_state({{"smith", {{"workspace", gone}, {"workspace_source", "explicit"}}}})
                   .has_value());
  testing::internal::CaptureStderr();
  Recalled state = recall("smith");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(state.workspace.has_value());
  EXPECT_EQ(log, "[bridge] npc=smith remembered folder is gone (" + gone + "); using " +
                     default_workspace_ + "\n");
}

TEST_F(StateFileTest, RecallIgnoresWhatIsNotAnExplicitChoice) {
  std::string elsewhere = join_path(root_, "elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
  ASSERT_FALSE(write_state({{"defaulted",
                             {{"workspace", elsewhere},
                              {"workspace_source", "default"},
                              {"session_id", ""},
                              {"persona", ""},
                              {"model", nullptr}}},
                            {"unsourced", {{"workspace", elsewhere}}},
                            {"scalar", "not an entry"}})
                   .has_value());
  for (const char* id : {"defaulted", "unsourced", "scalar"}) {
    SCOPED_TRACE(id);
    Recalled state = recall(id);
    EXPECT_FALSE(state.workspace.has_value());
    EXPECT_FALSE(state.session_id.has_value());
    EXPECT_FALSE(state.persona.has_value());
    EXPECT_FALSE(state.model.has_value());
  }
}

TEST_F(StateFileTest, ForgetWorkspacesKeepsPersonasAndModels) {
  ASSERT_FALSE(write_state({{"full",
                             {{"workspace", "/w"},
                              {"workspace_source", "explicit"},
                              {"session_id", "s"},
                              {"persona", "p"},
                              {"model", "m"}}},
                            {"persona_only", {{"persona", "q"}}},
                            {"note", 3}})
                   .has_value());
  testing::internal::CaptureStderr();
  forget_workspaces();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(load_state(), (Json{{"full", {{"persona", "p"}, {"model", "m"}}},
                                {"persona_only", {{"persona", "q"}}},
                                {"note", 3}}));
  EXPECT_EQ(log, "[bridge] forgot 3 remembered folder(s)\n");
}

TEST_F(StateFileTest, ForgetWorkspacesCreatesAnAbsentFileAndKeepsAnUnreadableOne) {
  testing::internal::CaptureStderr();
  forget_workspaces();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[bridge] forgot 0 remembered folder(s)\n");
  EXPECT_EQ(read_file(path_), "{}");

  write_file(path_, "[1, 2]");
  testing::internal::CaptureStderr();
  forget_workspaces();
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("kept the unreadable state file aside as "), std::string::npos) << log;
  EXPECT_EQ(read_file(path_), "{}");
  std::vector<std::string> aside = names_starting(folder_, "bridge_state.json.unreadable-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(read_file(join_path(folder_, aside[0])), "[1, 2]");
}

}  // namespace
