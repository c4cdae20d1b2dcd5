#include "agent/permissions.h"

#include <chrono>
#include <cmath>

#include "config/config.h"
#include "util/request_id.h"
#include "util/tool_summary.h"

namespace {

// Waits longer than this are treated as waiting without a limit of our own: the hook client
// and the CLI still give up after their own time-outs.
constexpr double UNLIMITED_SECONDS = 1e9;

}  // namespace

Json hook_decision(const std::string& word, const std::string& reason) {
  return {{"hookSpecificOutput",
           {{"hookEventName", "PreToolUse"}, {"permissionDecision", word}, {"permissionDecisionReason", reason}}}};
}

PermissionDecision request_permission(Npc& npc, const std::string& tool_name, const Json& tool_input) {
  std::string id = new_request_id();
  auto pending = std::make_shared<PendingPermission>();
  std::string previous;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    NpcState& s = npc.state;
    std::string detail = tool_detail(tool_name, tool_input, s.workspace);
    s.pending_permissions[id] = pending;
    previous = s.state;
    set_state(npc, "asking");
    push_event(npc, "permission_request",
               {{"request_id", id}, {"name", tool_name}, {"category", tool_category(tool_name)}, {"detail", detail}});
  }

  // A time-out that is not a number or negative refuses at once; an infinite one waits
  // until the player answers or the agent is stopped.
  double seconds = config().permission_timeout;
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  std::optional<PermissionDecision> decision;
  {
    std::unique_lock<std::mutex> guard(pending->lock);
    auto has_decision = [&] { return pending->decision.has_value(); };
    if (seconds >= UNLIMITED_SECONDS) {
      pending->decided.wait(guard, has_decision);
    } else {
      auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(seconds));
      pending->decided.wait_until(guard, std::chrono::steady_clock::now() + limit, has_decision);
    }
    decision = std::move(pending->decision);
  }

  {
    std::lock_guard<std::mutex> guard(npc.lock);
    NpcState& s = npc.state;
    s.pending_permissions.erase(id);
    if (s.state == "asking") set_state(npc, previous == "asking" ? "working" : previous);
  }

  if (decision) return *decision;
  push_event(npc, "permission_answered", {{"request_id", id}, {"allow", false}, {"reason", "timeout"}});
  return {"deny", "Nobody answered in time."};
}

bool answer_permission(Npc& npc, const std::string& request_id, bool allow, const std::string& reason) {
  std::shared_ptr<PendingPermission> pending;
  {
    std::lock_guard<std::mutex> guard(npc.lock);
    auto it = npc.state.pending_permissions.find(request_id);
    if (it == npc.state.pending_permissions.end()) return false;
    pending = it->second;
  }
  std::string word = allow ? "allow" : "deny";
  std::string why = !reason.empty() ? reason : allow ? "Approved by the player." : "The player refused.";
  pending->decide({word, why});
  push_event(npc, "permission_answered", {{"request_id", request_id}, {"allow", allow}, {"reason", reason}});
  return true;
}
