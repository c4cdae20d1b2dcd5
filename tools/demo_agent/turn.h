// One turn of the conversation: from the player's message to the "result" record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hook.h"
#include "input.h"
#include "transcript.h"

/// What lasts from turn to turn: the agent's settings, fixed at start, and the session's
/// running totals. Owned and used by the turn loop only.
struct Session {
  std::string id;
  std::string model;
  std::string permission_mode;
  std::string cwd;                       // the working folder, links resolved
  std::string persona;                   // --append-system-prompt
  bool scripted = false;                 // QUILLHAVEN_DEMO_SCRIPTED=1
  std::vector<HookGroup> hooks;          // PreToolUse hooks of --settings
  std::optional<Transcript> transcript;  // none without a home folder
  std::vector<std::string> args;         // the command line, for @report
  double total_cost_usd = 0.0;           // running total, kept across --resume
  std::uint64_t turns = 0;               // turns answered by this process
};

/// Answers one message: an init record, the reply (scripted or in character, with any tool
/// uses and their hooks), transcript lines for every message, and the closing result record.
/// Returns when the turn has ended; a script may also end the process (@exit) or never return
/// (@hang).
void run_turn(Session& session, const UserMessage& message);
