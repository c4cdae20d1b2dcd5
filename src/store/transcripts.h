// The agent CLI's transcripts under HOME/.claude/projects: found, described, listed.
// Read only; every failure degrades to finding nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/json.h"

struct Npc;

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

TranscriptSummary scan_transcript(const std::string& path);

/// {"bytes", "label", "messages", "started"} of the session; zeros and "" when not found.
Json transcript_summary(const std::string& session_id);

/// transcript_summary of the NPC's session plus "session_id" and "resumed". Takes the NPC lock.
Json session_info(Npc& npc);

/// The workspace path with every "/" replaced by "-".
std::string encode_workspace(const std::string& workspace);

/// The project folder holding the workspace's transcripts (may not exist yet).
std::string workspace_folder(const std::string& workspace);

/// The workspace's sessions, newest first.
Json list_sessions(const std::string& workspace);
