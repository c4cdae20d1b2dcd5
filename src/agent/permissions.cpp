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

PermissionDecision request_permission(Npc& npc, const std::string& tool_name, const Json& tool_input) {
  std::string id = new_request_id();
  auto pending = std::make_shared<PendingPermission>();
  npc.locked([&](NpcState& s) {
    std::string detail = tool_detail(tool_name, tool_input, s.workspace);
    s.pending_permissions[id] = pending;
    if (s.activity != Activity::Asking) s.activity_before_asking = s.activity;
    set_activity(npc, s, Activity::Asking);
    push_event(npc, "permission_request",
               {{"request_id", id}, {"name", tool_name}, {"category", tool_category(tool_name)}, {"detail", detail}});
  });

  // A time-out that is not a number or negative refuses at once; an infinite one waits
  // until the player answers or the agent is stopped.
  double seconds = config().permission_timeout;
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  std::optional<PermissionDecision> decision;
  if (seconds >= UNLIMITED_SECONDS) {
    decision = pending->wait();
  } else {
    decision = pending->wait_for(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(seconds)));
  }

  npc.locked([&](NpcState& s) {
    s.pending_permissions.erase(id);
    // The NPC asks for as long as any approval waits.
    if (s.activity == Activity::Asking && s.pending_permissions.empty()) {
      set_activity(npc, s, s.activity_before_asking);
    }
  });

  if (decision) return *decision;
  push_event(npc, "permission_answered", {{"request_id", id}, {"allow", false}, {"reason", "timeout"}});
  return {"deny", "Nobody answered in time."};
}

bool answer_permission(Npc& npc, const std::string& request_id, bool allow, const std::string& reason) {
  std::shared_ptr<PendingPermission> pending = npc.locked([&](NpcState& s) {
    auto it = s.pending_permissions.find(request_id);
    return it == s.pending_permissions.end() ? nullptr : it->second;
  });
  if (!pending) return false;
  std::string word = allow ? "allow" : "deny";
  std::string why = !reason.empty() ? reason : allow ? "Approved by the player." : "The player refused.";
  pending->decide({word, why});
  push_event(npc, "permission_answered", {{"request_id", request_id}, {"allow", allow}, {"reason", reason}});
  return true;
}
