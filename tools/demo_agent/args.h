// The command line of the demo agent: the flags the bridge passes to the agent CLI.
#pragma once

#include <optional>
#include <string>
#include <vector>

/// The parsed command line. Flags that the demo agent accepts but that change nothing (the
/// output format switches, --verbose, --name) are still recorded so a launch can be reported.
struct AgentArgs {
  std::string permission_mode = "default";
  std::string model;             // --model; empty when not given
  std::string settings_path;     // --settings; empty when not given
  std::string resume;            // --resume; empty when not given
  std::string system_prompt;     // --append-system-prompt; the NPC's persona
  std::string name;              // --name
  std::vector<std::string> raw;  // every argument after argv[0], unchanged
};

/// The permission modes the agent CLI accepts.
inline const std::vector<std::string> PERMISSION_MODES = {
    "acceptEdits", "auto", "bypassPermissions", "default", "dontAsk", "manual", "plan"};

/// Either the parsed arguments or a one-line usage error (the caller prints it and exits 2).
struct ArgsResult {
  std::optional<AgentArgs> args;
  std::string error;
};

/// Parses the arguments after argv[0]. Accepts "--flag value" and "--flag=value". Unknown
/// flags, missing values, stray positional words, an unknown permission mode and an input or
/// output format other than "stream-json" are errors.
ArgsResult parse_args(const std::vector<std::string>& argv);
