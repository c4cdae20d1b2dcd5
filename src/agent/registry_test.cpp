#include "agent/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <thread>

#include "config/config.h"

namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("npc_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(root_);
    Config cfg;
    cfg.workspace = root_.string();
    cfg.model = "sonnet";
    cfg.ask_tools = "Bash|Edit";
    store_config(cfg);
    store_state_file_path((root_ / "state.json").string());
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::filesystem::path root_;
};

TEST_F(Registry, NewNpcTakesTheConfiguredDefaultsAndIsAsleep) {
  NpcHandle npc = get_or_create_npc("defaults-" + root_.string());
  NpcView v = npc->view();
  EXPECT_EQ(v.activity, Activity::Asleep);
  EXPECT_EQ(v.workspace, root_.string());
  EXPECT_EQ(v.model, "sonnet");
  EXPECT_TRUE(v.workspace_is_default);
  EXPECT_EQ(npc->locked([](NpcState& s) { return s.ask_tools; }), "Bash|Edit");
  EXPECT_EQ(last_seq(*npc), 0u);
}

TEST_F(Registry, ConcurrentFirstRequestsGetOneRecord) {
  std::vector<NpcHandle> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = get_or_create_npc("racer"); });
  for (auto& t : threads) t.join();
  for (const auto& npc : seen) EXPECT_EQ(npc.get(), seen[0].get());
  int count = 0;
  for (const auto& npc : snapshot_npcs()) count += npc->id() == "racer";
  EXPECT_EQ(count, 1);
}

TEST_F(Registry, IdsDifferingInCaseAreTwoNpcs) {
  EXPECT_NE(get_or_create_npc("Guard").get(), get_or_create_npc("guard").get());
  EXPECT_EQ(get_or_create_npc("").get(), get_or_create_npc("").get());
}

}  // namespace
