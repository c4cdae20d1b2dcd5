// The answer a PreToolUse hook prints, as the agent CLI reads it.
#pragma once

#include <string>

#include "util/json.h"

/// {"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":word,
///  "permissionDecisionReason":reason}}
Json hook_decision(const std::string& word, const std::string& reason);
