#include "hook/decision.h"

Json hook_decision(const std::string& word, const std::string& reason) {
  return {{"hookSpecificOutput",
           {{"hookEventName", "PreToolUse"}, {"permissionDecision", word}, {"permissionDecisionReason", reason}}}};
}
