// The agent CLI's transcripts under HOME/.claude/projects: found, described, listed.
// Read only; every failure degrades to finding nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/json.h"

struct TranscriptSummary {
  std::string first_prompt;  // the player's first substantial message, collapsed, <= 70 chars
  std::string title;         // first non-empty custom title
  std::string started;       // "timestamp" of the first message line
  std::uint64_t messages = 0;
  std::uint64_t bytes = 0;
  double modified = 0.0;  // seconds since the epoch
};

/// HOME joined with ".claude/projects".
std::string projects_dir();

/// The transcript file of a session, searched in every project folder (sorted). A session id
/// that cannot be a plain file name ("", "/", NUL, "." or "..") has none.
std::optional<std::string> find_transcript(const std::string& session_id);

/// Reads one transcript line by line: message count, first substantial user message, first
/// custom title, file size and modification time. An unreadable file gives what its metadata
/// gave (or zeros).
TranscriptSummary scan_transcript(const std::string& path);

/// {"bytes", "label", "messages", "started"} of the session; zeros and "" when not found.
Json transcript_summary(const std::string& session_id);

/// transcript_summary of the session plus "session_id" and "resumed".
Json session_info(const std::string& session_id, bool resumed);

/// The workspace path with every "/" replaced by "-".
std::string encode_workspace(const std::string& workspace);

/// The folder name the CLI itself gives a workspace: every character that is not an ASCII
/// letter or digit replaced by "-" (/tmp/my_ws.v2 x -> -tmp-my-ws-v2-x). Characters are
/// counted in UTF-16 units, as the CLI's JavaScript counts them.
std::string cli_encode_workspace(const std::string& workspace);

/// The project folder holding the workspace's transcripts. Looked up by name (the CLI's form,
/// then encode_workspace, each for the path as given and with links resolved), else by the
/// "cwd" recorded in the first lines of the transcripts. A folder found is cached for the
/// process; when none is found the result is where the CLI will create it (not cached), and
/// "" for an empty workspace. Thread-safe.
std::string workspace_folder(const std::string& workspace);

/// The workspace's sessions with at least one message, newest first: objects with "bytes",
/// "label", "messages", "modified" (null when not finite), "session_id", "started", "title".
Json list_sessions(const std::string& workspace);
