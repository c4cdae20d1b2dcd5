// What a launch looked like from inside: lets tests check the arguments, working folder,
// environment and inherited descriptors the bridge gave its agent.
#pragma once

#include <string>
#include <vector>

#include "util/json.h"

/// The descriptors open in this process, ascending (the one used to list them left out).
std::vector<int> open_descriptors();

/// {"args": the arguments after argv[0], "cwd": the working folder, "env_api_key": whether
/// ANTHROPIC_API_KEY is set, "fds": open_descriptors(), "pid": the process id}.
Json launch_report(const std::vector<std::string>& args);

/// Appends the report with "settings" added (the parsed settings file, or null) as one line
/// to the file at `path`. Failures are reported on standard error and otherwise ignored.
void append_launch_log(const std::string& path, Json report, const Json& settings);
