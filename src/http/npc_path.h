// NPC paths: "/npc/ID/ACTION".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

/// "/npc/ID/ACTION[/...]" -> (ID, ACTION); anything else -> nullopt. The id is taken byte for
/// byte (no percent-decoding).
std::optional<std::pair<std::string, std::string>> parse_npc_path(std::string_view path);
