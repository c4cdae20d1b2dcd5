#include "store/state_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "config/config.h"
#include "util/test_support.h"

namespace {

// A scratch HOME, its default workspace, a stored Config; the state file's folder is not made yet.
class StateFileTest : public ::testing::Test {
 protected:
  StateFileTest() {
    std::filesystem::create_directories(default_workspace_);
    Config cfg;
    cfg.workspace = default_workspace_;
    cfg.model = "configured-model";
    store_config(cfg);
    store_state_file_path(folder_ + "/bridge_state.json");
  }

  ScratchHome home_;
  std::string default_workspace_ = home_ / "default";
  std::string folder_ = home_ / ".cache/quillhaven";
};

// (Entries carried over, the file replaced whole under its readers: the end-to-end GameRestarts.)
TEST_F(StateFileTest, ConcurrentRemembersKeepEveryEntry) {
  constexpr int NPCS = 8;
  std::vector<std::thread> threads;
  for (int i = 0; i < NPCS; ++i)
    threads.emplace_back([i] {
      Remembered values;
      values.session_id = "session" + std::to_string(i);
      for (int round = 0; round < 5; ++round)
        remember_npc("npc" + std::to_string(i), [&] { return values; });
    });
  for (auto& thread : threads) thread.join();

  Json stored = load_state();
  ASSERT_EQ(stored.size(), static_cast<std::size_t>(NPCS));
  for (int i = 0; i < NPCS; ++i)
    EXPECT_EQ(stored["npc" + std::to_string(i)]["session_id"], "session" + std::to_string(i));
  // A leftover temporary file would be one name too many.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1);
}

TEST_F(StateFileTest, FailedWritesAreReportedAndLeaveNoTemporaryFile) {
  // A file where a folder should be: the folder cannot be created.
  write_file(home_ / "blocker", "a file, not a folder");
  store_state_file_path(home_ / "blocker/sub/state.json");
  std::optional<std::string> error = write_state(Json::object());
  EXPECT_NE(error.value_or("").find("(os error "), std::string::npos) << error.value_or("none");

  // A non-empty folder where the file should be: the rename over it fails.
  std::string occupied = home_ / "occupied";
  write_file(occupied + "/inside", "x");
  store_state_file_path(occupied);
  EXPECT_TRUE(write_state(Json::object()).has_value());
  testing::internal::CaptureStderr();
  remember_npc("guard", [] { return Remembered{}; });
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("[bridge] cannot save " + occupied + ": ", 0), 0u) << log;
  // default, blocker, occupied: nothing kept aside.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.path()), {}), 3);
}

// (What else is recalled: the state_file fuzz target and the end-to-end GameRestarts.)
TEST_F(StateFileTest, RecallKeepsAnEmptyModelAsTheClisDefaultButNoEmptyConversation) {
  ASSERT_FALSE(write_state(*parse_json(
      R"({"smith":{"model":"","session_id":""},"guard":{"model":null,"session_id":5}})")));
  EXPECT_EQ(recall_npc("smith", default_workspace_).model, "");  // chosen over the configured one
  EXPECT_FALSE(recall_npc("guard", default_workspace_).model);
  // Only a non-empty text names a conversation the agent can resume.
  EXPECT_FALSE(recall_npc("smith", default_workspace_).session_id);
  EXPECT_FALSE(recall_npc("guard", default_workspace_).session_id);
}

}  // namespace
