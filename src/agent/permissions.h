// Tool uses the player approves.
#pragma once

#include <string>

#include "agent/npc.h"
#include "hook/decision.h"
#include "util/json.h"

/// Announces the tool use, waits for the player (at most the permission time-out) and returns
/// the decision. Blocks the calling thread.
PermissionDecision request_permission(Npc& npc, const std::string& tool_name, const Json& tool_input);

/// Stores the player's answer for a waiting request. False when no such request waits.
bool answer_permission(Npc& npc, const std::string& request_id, bool allow, const std::string& reason);
