// The permission policy: one per process, changed by the game, never stored.
#pragma once

#include <array>
#include <string>
#include <string_view>

/// The valid policy names, in the order the game is shown them.
inline constexpr std::array<std::string_view, 3> POLICIES = {"ask", "auto", "trust"};

bool is_policy(std::string_view name);

/// A copy of the current policy name ("auto" until set).
std::string current_policy();

/// Makes `name` current; callers validate it first.
void set_policy(std::string name);

/// The agent CLI permission mode a policy launches with, and whether the approval hook is
/// installed: auto -> "auto"; trust -> "bypassPermissions"; anything else -> "acceptEdits" + hook.
struct PermissionMode {
  std::string mode;
  bool hook;
};
PermissionMode permission_mode_for(std::string_view policy);
