#pragma once

#include <chrono>
#include <condition_variable>
#include <optional>
#include <string>

#include "util/thread_annotations.h"

/// The answer to a tool use: "allow" or "deny", and the reason the agent is given.
struct PermissionDecision {
  std::string word;
  std::string reason;
};

/// One tool use waiting for the player, shared by the waiting hook request, whoever answers,
/// and the NPC's pending_permissions map. Its lock is never held together with an NPC lock.
class PendingPermission {
 public:
  /// Stores the decision (replacing any earlier one) and wakes every waiter.
  void decide(PermissionDecision d) EXCLUDES(lock_) {
    {
      MutexLock hold(lock_);
      decision_ = std::move(d);
    }
    decided_.notify_all();
  }

  /// The decision once there is one, waiting at most `limit`; nullopt when none came in time.
  std::optional<PermissionDecision> wait_for(std::chrono::milliseconds limit) EXCLUDES(lock_) {
    MutexLock hold(lock_);
    lock_.wait_for(decided_, limit, [&]() REQUIRES(lock_) { return decision_.has_value(); });
    return decision_;
  }

  /// The decision, waiting for it without a limit of our own.
  std::optional<PermissionDecision> wait() EXCLUDES(lock_) {
    MutexLock hold(lock_);
    lock_.wait(decided_, [&]() REQUIRES(lock_) { return decision_.has_value(); });
    return decision_;
  }

 private:
  Mutex lock_;
  std::condition_variable decided_;
  std::optional<PermissionDecision> decision_ GUARDED_BY(lock_);  // the last one stored wins
};
