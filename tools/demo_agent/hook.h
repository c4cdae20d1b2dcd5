// The PreToolUse hooks of the settings file: which commands run before a tool use, and how
// their answer decides whether the tool runs.
//
// Settings shape: {"hooks":{"PreToolUse":[{"matcher":M,"hooks":[{"type":"command",
// "command":C,"timeout":T}]}]}}. Every hook whose matcher matches the tool's name runs, in
// order, through /bin/sh -c with the tool-use description as JSON on its standard input; it
// answers {"hookSpecificOutput":{"permissionDecision":"allow"|"deny",
// "permissionDecisionReason":R}} on standard output. Anything but a clear "allow" keeps the
// tool from running: a hook that fails, times out or prints no decision refuses.
#pragma once

#include <string>
#include <vector>

#include "command.h"
#include "util/json.h"

/// One command hook; its time limit in seconds (60 when the settings give none).
struct HookCommand {
  std::string command;
  double timeout_seconds = 60;
};

/// The hooks that run for tools whose names match `matcher`.
struct HookGroup {
  std::string matcher;
  std::vector<HookCommand> commands;
};

/// The PreToolUse groups of parsed settings. Entries of the wrong shape, and hooks whose type
/// is not "command" or whose command is empty, are left out.
std::vector<HookGroup> pre_tool_use_hooks(const Json& settings);

/// True when the matcher selects the tool: an empty matcher or "*" selects every tool;
/// otherwise the matcher is a regular expression that must match the whole name. A matcher
/// that is not a valid expression selects only the tool of exactly that name.
bool matcher_matches(const std::string& matcher, const std::string& tool_name);

/// The outcome for one tool use: run it, or refuse it for `reason`.
struct HookVerdict {
  bool allow = true;
  std::string reason;
};

/// How one finished hook run decides. Exit status 2 refuses with the hook's standard error as
/// the reason; any other failure refuses with a description of it.
HookVerdict interpret_hook_run(const CommandRun& run, double timeout_seconds);

/// Runs every hook that matches the tool, in order, and stops at the first refusal. With no
/// matching hook the tool is allowed.
HookVerdict consult_pre_tool_use(const std::vector<HookGroup>& groups, const Json& hook_input,
                                 const std::string& tool_name, const std::string& cwd);
