// The session transcripts the agent CLI keeps under the home folder, and that the bridge reads
// to describe and resume conversations: HOME/.claude/projects/FOLDER/SESSION_ID.jsonl.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "util/json.h"

/// The folder name for a working folder (already resolved, symbolic links and all): every byte
/// that is not an ASCII letter or digit becomes "-", so "/tmp/my_ws.v2 x" gives
/// "-tmp-my-ws-v2-x".
std::string encode_project_folder(std::string_view resolved_cwd);

/// HOME/.claude/projects.
std::string projects_root(const std::string& home);

/// True when the session id can name a file of its own: not empty, not "." or "..", and
/// without "/" or NUL. Any other id has no transcript.
bool is_plain_session_id(std::string_view session_id);

/// The transcript of the session in any project folder (folders tried in sorted order), or
/// nullopt when there is none.
std::optional<std::string> find_session_file(const std::string& home,
                                             const std::string& session_id);

/// ISO-8601 in UTC with milliseconds, e.g. "2025-03-01T09:30:00.250Z".
std::string iso_timestamp(std::chrono::system_clock::time_point when);

/// The session's running cost as the last assistant line of the transcript recorded it, so a
/// resumed session keeps counting from there; 0 when nothing is recorded.
double recorded_session_cost(const std::string& path);

/// The system prompt the session was given with --append-system-prompt, as the transcript
/// last recorded it; "" when none was. Like the CLI, a resumed session uses it again.
std::string recorded_appended_prompt(const std::string& path);

/// Appends the lines of one session's transcript. The folder and the file are created by the
/// first append. Single-threaded use (the turn loop owns it).
class Transcript {
 public:
  Transcript(std::string path, std::string cwd, std::string session_id)
      : path_(std::move(path)), cwd_(std::move(cwd)), session_id_(std::move(session_id)) {}

  const std::string& path() const { return path_; }

  /// Appends one line {"type", "message", "cwd", "sessionId", "timestamp", "uuid",
  /// "parentUuid", ...} plus the members of `extra`. A failure to write is reported once on
  /// standard error and otherwise ignored: a lost transcript must not end the conversation.
  void append(const std::string& type, const Json& message, const Json& extra = Json::object());

  /// Keeps `prompt` with the session: a line of its own, written with the next message line,
  /// so that a session that never got a message leaves no file behind.
  void keep_appended_prompt(const std::string& prompt);

 private:
  std::string path_;
  std::string cwd_;
  std::string session_id_;
  std::string pending_;  // whole lines written before the next message line
  Json parent_uuid_ = nullptr;
  bool reported_failure_ = false;
};
