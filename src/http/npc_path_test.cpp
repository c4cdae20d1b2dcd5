#include "http/npc_path.h"

#include <gtest/gtest.h>

TEST(ParseNpcPath, NamesTheNpcAndTheActionOrNothing) {
  using Named = std::optional<std::pair<std::string, std::string>>;
  const std::vector<std::pair<const char*, Named>> cases = {
      {"npc/guard/events/", std::pair("guard", "events")},
      {"//npc/guard/events//", std::pair("guard", "events")},
      {"/npc/guard/events/extra/more", std::pair("guard", "events")},
      {"/npc//events", std::pair("", "events")},
      {"/npc/a b%20c/say", std::pair("a b%20c", "say")},  // used as they stand
      {"/npc/guard//x", std::pair("guard", "")}};
  for (const auto& [path, named] : cases) EXPECT_EQ(parse_npc_path(path), named) << path;
  for (const char* path : {"/npc/guard", "/npc/guard/", "/npc", "/", "", "///", "/NPC/guard/events",
                           "/npcs/guard/events", "/x/npc/guard/events"}) {
    EXPECT_EQ(parse_npc_path(path), std::nullopt) << path;
  }
}
