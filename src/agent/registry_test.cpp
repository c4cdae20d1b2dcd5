#include "agent/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "config/config.h"
#include "util/test_support.h"

TEST(Registry, AnNpcIsMadeOnceById) {
  TempDir root;
  Config cfg;
  cfg.workspace = root.path();
  store_config(cfg);
  store_state_file_path(root / "state.json");

  const std::string id = "racer-" + root.path();  // no earlier test made it
  std::vector<NpcHandle> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&, i] { seen[i] = get_or_create_npc(id); });
  for (auto& t : threads) t.join();
  for (const auto& npc : seen) EXPECT_EQ(npc.get(), seen[0].get());
  EXPECT_EQ(std::ranges::count(snapshot_npcs(), id, &Npc::id), 1);

  // (Its defaults as the game sees them: the end-to-end GameRestarts and Approvals.)
  EXPECT_NE(get_or_create_npc("Guard").get(), get_or_create_npc("guard").get());  // case counts
}
