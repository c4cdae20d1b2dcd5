#include "hook.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
// GCC 12 reports a false -Wmaybe-uninitialized inside <regex> in sanitizer builds; clang
// knows no such warning and would warn about the pragma itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif

#include "util/os_error.h"
#include "util/text.h"

namespace {

// The decision object is a line of JSON; anything far larger is not one.
constexpr std::size_t HOOK_OUTPUT_LIMIT = 1u << 20;

// A day: longer limits are taken as "no limit to speak of" and kept countable in milliseconds.
constexpr double MAX_HOOK_SECONDS = 86400;

std::string seconds_text(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", seconds);
  return buffer;
}

}  // namespace

std::vector<HookGroup> pre_tool_use_hooks(const Json& settings) {
  std::vector<HookGroup> groups;
  const Json* hooks = field(settings, "hooks");
  const Json* entries = hooks != nullptr ? field(*hooks, "PreToolUse") : nullptr;
  if (entries == nullptr || !entries->is_array()) return groups;
  for (const Json& entry : *entries) {
    const Json* commands = field(entry, "hooks");
    if (commands == nullptr || !commands->is_array()) continue;
    HookGroup group;
    group.matcher = as_text(entry, "matcher");
    for (const Json& hook : *commands) {
      if (as_text(hook, "type") != "command") continue;
      HookCommand command;
      command.command = as_text(hook, "command");
      const Json* timeout = field(hook, "timeout");
      if (timeout != nullptr && timeout->is_number() && timeout->get<double>() > 0) {
        command.timeout_seconds = std::min(timeout->get<double>(), MAX_HOOK_SECONDS);
      }
      if (!command.command.empty()) group.commands.push_back(std::move(command));
    }
    if (!group.commands.empty()) groups.push_back(std::move(group));
  }
  return groups;
}

bool matcher_matches(const std::string& matcher, const std::string& tool_name) {
  if (matcher.empty() || matcher == "*") return true;
  try {
    return std::regex_match(tool_name, std::regex(matcher));
  } catch (const std::regex_error&) {
    return matcher == tool_name;
  }
}

HookVerdict interpret_hook_run(const CommandRun& run, double timeout_seconds) {
  if (!run.started) return {false, "cannot start the hook: " + os_error_text(run.spawn_error)};
  if (run.timed_out) return {false, "the hook timed out after " + seconds_text(timeout_seconds) + " s"};
  std::string errors = trim(to_valid_utf8(run.errors));
  if (run.exit_status == 2 && !errors.empty()) return {false, errors};
  if (run.exit_status != 0) {
    std::string reason = run.exit_status < 0 ? "the hook was killed"
                                             : "the hook exited with status " +
                                                   std::to_string(run.exit_status);
    if (!errors.empty()) reason += ": " + errors;
    return {false, reason};
  }
  std::optional<Json> answer = parse_json(trim(to_valid_utf8(run.output)));
  const Json* specific = answer ? field(*answer, "hookSpecificOutput") : nullptr;
  if (specific == nullptr || !specific->is_object()) {
    return {false, "the hook printed no decision"};
  }
  std::string decision = as_text(*specific, "permissionDecision");
  std::string reason = as_text(*specific, "permissionDecisionReason");
  if (decision == "allow") return {true, reason};
  if (decision != "deny" && reason.empty()) reason = "the hook printed no decision";
  return {false, reason};
}

HookVerdict consult_pre_tool_use(const std::vector<HookGroup>& groups, const Json& hook_input,
                                 const std::string& tool_name, const std::string& cwd) {
  HookVerdict verdict;
  for (const HookGroup& group : groups) {
    if (!matcher_matches(group.matcher, tool_name)) continue;
    for (const HookCommand& hook : group.commands) {
      auto limit = std::chrono::milliseconds(
          static_cast<long long>(std::ceil(hook.timeout_seconds * 1000.0)));
      CommandRun run = run_shell(hook.command, dump_json(hook_input) + "\n", cwd, limit,
                                 HOOK_OUTPUT_LIMIT);
      verdict = interpret_hook_run(run, hook.timeout_seconds);
      if (!verdict.allow) return verdict;
    }
  }
  return verdict;
}
