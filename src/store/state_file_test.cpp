#include "store/state_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "config/config.h"
#include "util/paths.h"
#include "util/test_support.h"

namespace {

// A scratch HOME with a default workspace, a stored Config and a state file path inside it
// (the file's folder does not exist yet).
class StateFileTest : public ::testing::Test {
 protected:
  StateFileTest() {
    std::filesystem::create_directories(default_workspace_);
    Config cfg;
    cfg.workspace = default_workspace_;
    cfg.model = "configured-model";
    store_config(cfg);
    use_path(folder_ + "/bridge_state.json");
  }

  void use_path(const std::string& path) {
    path_ = path;
    store_state_file_path(path);
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

  // Saves `values` as what the NPC `id` has now, and returns what it logged.
  static std::string remember(const std::string& id, const Remembered& values) {
    testing::internal::CaptureStderr();
    remember_npc(id, [&] { return values; });
    return testing::internal::GetCapturedStderr();
  }

  Recalled recall(const std::string& id) const { return recall_npc(id, default_workspace_); }

  ScratchHome home_;
  std::string default_workspace_ = home_ / "default";
  std::string folder_ = home_ / ".cache/quillhaven";
  std::string path_;
};

// (Entries carried over, and the file replaced whole so that a reader of the old file still
// reads all of it: the end-to-end StateFile.)
TEST_F(StateFileTest, ConcurrentRemembersKeepEveryEntry) {
  constexpr int NPCS = 8;
  std::vector<std::thread> threads;
  for (int i = 0; i < NPCS; ++i) {
    threads.emplace_back([i] {
      Remembered values;
      values.session_id = "session" + std::to_string(i);
      for (int round = 0; round < 5; ++round) {
        remember_npc("npc" + std::to_string(i), [&] { return values; });
      }
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

TEST_F(StateFileTest, FailedWritesAreReportedAndLeaveNoTemporaryFile) {
  // A file where a folder should be: the folder cannot be created.
  write_file(home_ / "blocker", "a file, not a folder");
  use_path(home_ / "blocker/sub/state.json");
  std::optional<std::string> error = write_state(Json::object());
  ASSERT_TRUE(error.has_value());
  EXPECT_NE(error->find("(os error "), std::string::npos) << *error;

  // A non-empty folder where the file should be: the rename over it fails.
  std::string occupied = home_ / "occupied";
  write_file(occupied + "/inside", "x");
  use_path(occupied);
  EXPECT_TRUE(write_state(Json::object()).has_value());
  std::string log = remember("guard", {});
  EXPECT_EQ(log.rfind("[bridge] cannot save " + occupied + ": ", 0), 0u) << log;
  EXPECT_TRUE(names_starting(home_.path(), ".bridge_state-").empty());
  EXPECT_TRUE(names_starting(home_.path(), "occupied.").empty());  // a folder is never kept aside
}

TEST_F(StateFileTest, RecallAppliesOnlyExplicitChoices) {
  std::string chosen = home_ / "chosen";
  std::filesystem::create_directories(chosen);
  Json state = *parse_json(R"({
      "smith": {"workspace_source": "explicit", "session_id": "abc", "persona": "a smith",
                "model": ""},
      "defaulted": {"workspace_source": "default", "session_id": "", "persona": "",
                    "model": null},
      "unsourced": {}, "scalar": "not an entry"})");
  for (const char* id : {"smith", "defaulted", "unsourced"}) state[id]["workspace"] = chosen;
  ASSERT_FALSE(write_state(state).has_value());
  Recalled smith = recall("smith");
  EXPECT_EQ(smith.workspace, chosen);
  EXPECT_EQ(smith.session_id, "abc");
  EXPECT_EQ(smith.persona, "a smith");
  EXPECT_EQ(smith.model, "");  // the CLI's default chosen over the configured one

  for (const char* id : {"Smith", "defaulted", "unsourced", "scalar"}) {  // ids are case-sensitive
    SCOPED_TRACE(id);
    Recalled none = recall(id);
    EXPECT_FALSE(none.workspace.has_value());
    EXPECT_FALSE(none.session_id.has_value());
    EXPECT_FALSE(none.persona.has_value());
    EXPECT_FALSE(none.model.has_value());
  }
}

}  // namespace
