#include "config/policy.h"

#include <algorithm>
#include <mutex>

namespace {
std::mutex policy_lock;        // guards current
std::string current = "auto";  // guarded by policy_lock
}  // namespace

bool is_policy(std::string_view name) {
  return std::find(POLICIES.begin(), POLICIES.end(), name) != POLICIES.end();
}

std::string current_policy() {
  std::lock_guard<std::mutex> guard(policy_lock);
  return current;
}

void set_policy(std::string name) {
  std::lock_guard<std::mutex> guard(policy_lock);
  current = std::move(name);
}

PermissionMode permission_mode_for(std::string_view policy) {
  if (policy == "auto") return {"auto", false};
  if (policy == "trust") return {"bypassPermissions", false};
  return {"acceptEdits", true};
}
