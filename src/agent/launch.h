// What an agent process is started with: its arguments, its hook settings, its environment.
// Nothing here touches an NPC record; the agent's life (agent/life.h) uses it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

/// What a launch is made of, copied from the NPC and the configuration.
struct LaunchInputs {
  std::string npc_id;
  std::string model;
  std::string ask_tools;
  std::string session_id;  // "" for a new conversation
  std::string persona;     // given to a new conversation only: the CLI keeps it with the session
  std::string permission_mode;
  std::string settings_path;  // the hook settings file, or "" for none
};

/// The CLI's arguments for a launch.
std::vector<std::string> agent_arguments(const LaunchInputs& in);

/// The hook command the CLI runs before a tool use: this executable in hook mode, told the
/// bridge's address and the NPC.
std::string hook_command(const std::string& self_exe, const std::string& host, unsigned port,
                         const std::string& npc_id);

/// A new, unique path for the NPC's hook settings file in the temporary folder.
std::string settings_file_path(const std::string& npc_id);

/// The environment of an agent: ours, less ANTHROPIC_API_KEY unless it is to be kept.
std::vector<std::string> agent_environment(bool keep_api_key);

/// Writes `text` to a new file at `path` readable by its owner only. 0, or the errno value.
int write_private_file(const std::string& path, const std::string& text);

/// The text unchanged when it is non-empty and only [A-Za-z0-9@%+=:,./_-]; otherwise single-
/// quoted, with every ' written as '"'"'.
std::string shell_quote(std::string_view text);

/// The NPC id as one plain file-name piece: bytes outside [A-Za-z0-9._-] as %XX; a result that
/// would make the settings file name too long is cut and ends with a hash of the whole id.
std::string encode_npc_id_for_file(std::string_view id);

/// The hook settings JSON for `command` with matcher `ask_tools`.
Json hook_settings(const std::string& command, const std::string& ask_tools);
