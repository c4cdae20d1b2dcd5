// Starting an NPC's agent process.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "agent/npc.h"
#include "util/json.h"

/// Makes sure the NPC has a running agent, launching one when it has none or its process has
/// ended. Runs wholly under the NPC lock. May push "error" or a launch's "state" "idle".
void ensure_agent(const NpcHandle& npc);

/// The text unchanged when it is non-empty and only [A-Za-z0-9@%+=:,./_-]; otherwise single-
/// quoted, with every ' written as '"'"'.
std::string shell_quote(std::string_view text);

/// The NPC id as one plain file-name piece: bytes outside [A-Za-z0-9._-] as %XX; a result that
/// would make the settings file name too long is cut and ends with a hash of the whole id.
std::string encode_npc_id_for_file(std::string_view id);

/// The hook settings JSON for `command` with matcher `ask_tools`.
Json hook_settings(const std::string& command, const std::string& ask_tools);
