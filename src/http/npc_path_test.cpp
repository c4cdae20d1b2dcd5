#include "http/npc_path.h"

#include <gtest/gtest.h>

namespace {

using Named = std::optional<std::pair<std::string, std::string>>;

Named npc(const std::string& id, const std::string& action) { return std::make_pair(id, action); }

TEST(ParseNpcPath, NamesTheNpcAndTheAction) {
  EXPECT_EQ(parse_npc_path("/npc/guard/events"), npc("guard", "events"));
  EXPECT_EQ(parse_npc_path("npc/guard/events/"), npc("guard", "events"));
  EXPECT_EQ(parse_npc_path("//npc/guard/events//"), npc("guard", "events"));
  EXPECT_EQ(parse_npc_path("/npc/guard/events/extra/more"), npc("guard", "events"));
  EXPECT_EQ(parse_npc_path("/npc//events"), npc("", "events"));
  EXPECT_EQ(parse_npc_path("/npc/a b%20c/say"), npc("a b%20c", "say"));  // used as they stand
  EXPECT_EQ(parse_npc_path("/npc/guard//x"), npc("guard", ""));
}

TEST(ParseNpcPath, AnythingElseIsNoNpcPath) {
  for (const char* path : {"/npc/guard", "/npc/guard/", "/npc", "/", "", "///", "/NPC/guard/events",
                           "/npcs/guard/events", "/x/npc/guard/events"}) {
    EXPECT_EQ(parse_npc_path(path), std::nullopt) << path;
  }
}

}  // namespace
