// The POST commands: the hook's question, the policy, and what the game does to an NPC.
#pragma once

#include <string>

#include "agent/npc.h"
#include "util/json.h"

/// POST /hook/permission: asks the player about a tool use and answers with the decision.
/// Returns what respond returned.
bool hook_command(const Json& body, int fd);

/// POST /policy.
bool policy_command(const Json& body, int fd);

/// POST /npc/ID/ACTION.
bool npc_command(const NpcHandle& npc, const std::string& action, const Json& body, int fd);
