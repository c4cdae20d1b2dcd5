#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

/// The answer to a tool use: "allow" or "deny", and the reason the agent is given.
struct PermissionDecision {
  std::string word;
  std::string reason;
};

/// One tool use waiting for the player, shared by the waiting hook request, whoever answers,
/// and the NPC's pending_permissions map. Its lock is never held together with the NPC lock.
struct PendingPermission {
  std::mutex lock;
  std::condition_variable decided;              // every writer of `decision` wakes all waiters
  std::optional<PermissionDecision> decision;   // guarded by lock; the last one stored wins

  /// Stores the decision (replacing any earlier one) and wakes every waiter.
  void decide(PermissionDecision d) {
    {
      std::lock_guard<std::mutex> guard(lock);
      decision = std::move(d);
    }
    decided.notify_all();
  }
};
