// The tools the demo agent can actually use once a tool use is allowed.
#pragma once

#include <string>

#include "util/json.h"

/// The text a tool use gives back, and whether it failed.
struct ToolOutcome {
  std::string content;
  bool is_error = false;
};

/// Longest tool output handed back, in bytes.
inline constexpr std::size_t TOOL_OUTPUT_LIMIT = 10 * 1024;

/// Bash runs input "command" through /bin/sh -c in `cwd` (standard output and error together,
/// at most two minutes, cut at TOOL_OUTPUT_LIMIT); Read returns the start of the file named by
/// input "file_path" (relative to `cwd`); any other tool does nothing and answers "done".
ToolOutcome run_tool(const std::string& name, const Json& input, const std::string& cwd);
