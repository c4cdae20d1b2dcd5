// Files that end-to-end tests lay out before or while a bridge runs: the state file, and
// transcripts under HOME/.claude/projects the way the claude CLI writes them.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <cctype>

#include "util/json.h"
#include "util/test_support.h"

namespace harness {

/// The whole file, or nullopt when it cannot be read.
inline std::optional<std::string> read_text_file(const std::string& path) {
  return ::access(path.c_str(), R_OK) == 0 ? std::optional(read_file(path)) : std::nullopt;
}

/// Creates `path` and its missing parents. False when it is not a folder afterwards.
inline bool make_folders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

/// Sets a file's access and modification time to `seconds` + `nanoseconds` since the epoch.
inline bool set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds = 0) {
  timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds}};
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

/// The names in a folder ("." and ".." left out), sorted.
inline std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

/// The folder name the CLI gives a working folder: every byte other than an ASCII letter or
/// digit becomes "-" (ASCII paths only).
inline std::string cli_folder_name(std::string path) {
  for (char& c : path) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '-';
  }
  return path;
}

/// One transcript line of a message; `type` is "user" or "assistant", `content` a string or an
/// array.
inline std::string message_line(const std::string& type, const Json& content,
                                const std::string& cwd, const std::string& session_id,
                                const std::string& timestamp) {
  return dump_json({{"type", type},
                    {"message", {{"role", type}, {"content", content}}},
                    {"cwd", cwd},
                    {"timestamp", timestamp},
                    {"sessionId", session_id}}) +
         "\n";
}

}  // namespace harness
