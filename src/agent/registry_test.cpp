#include "agent/registry.h"

#include <gtest/gtest.h>

#include <thread>

#include "config/config.h"
#include "util/test_support.h"

namespace {

TEST(Registry, AnNpcIsMadeOnceByIdWithTheConfiguredDefaultsAndAsleep) {
  TempDir root;
  Config cfg;
  cfg.workspace = root.path();
  cfg.model = "sonnet";
  cfg.ask_tools = "Bash|Edit";
  store_config(cfg);
  store_state_file_path(root / "state.json");

  const std::string id = "racer-" + root.path();  // no earlier test made it
  std::vector<NpcHandle> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = get_or_create_npc(id); });
  for (auto& t : threads) t.join();
  for (const auto& npc : seen) EXPECT_EQ(npc.get(), seen[0].get());
  int count = 0;
  for (const auto& npc : snapshot_npcs()) count += npc->id() == id;
  EXPECT_EQ(count, 1);

  NpcView v = seen[0]->view();
  EXPECT_EQ(v.activity, Activity::Asleep);
  EXPECT_EQ(v.workspace, root.path());
  EXPECT_EQ(v.model, "sonnet");
  EXPECT_TRUE(v.workspace_is_default);
  EXPECT_EQ(seen[0]->locked([](NpcState& s) { return s.ask_tools; }), "Bash|Edit");
  EXPECT_EQ(last_seq(*seen[0]), 0u);
  EXPECT_NE(get_or_create_npc("Guard").get(), get_or_create_npc("guard").get());  // case counts
}

}  // namespace
