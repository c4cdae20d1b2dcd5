// Files that end-to-end tests lay out before or while a bridge runs: the state file, and
// transcripts under HOME/.claude/projects the way the claude CLI writes them. (Writing a
// file: write_file of util/test_support.h.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/json.h"

namespace harness {

/// The whole file, or nullopt when it cannot be read.
std::optional<std::string> read_text_file(const std::string& path);

/// Creates `path` and its missing parents. False when it is not a folder afterwards.
bool make_folders(const std::string& path);

/// Sets a file's access and modification time to `seconds` + `nanoseconds` since the epoch.
bool set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds = 0);

/// The names in a folder ("." and ".." left out), sorted.
std::vector<std::string> folder_names(const std::string& folder);

/// The folder name the CLI gives a working folder: every byte other than an ASCII letter or
/// digit becomes "-" (ASCII paths only).
std::string cli_folder_name(const std::string& path);

/// One transcript line of a message: {"cwd", "message": {"content", "role"}, "sessionId",
/// "timestamp", "type"}; `type` is "user" or "assistant", `content` a string or an array.
std::string message_line(const std::string& type, const Json& content, const std::string& cwd,
                         const std::string& session_id, const std::string& timestamp);

}  // namespace harness
