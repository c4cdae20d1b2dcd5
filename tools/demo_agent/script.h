// Scripted mode: directives in the player's words make the demo agent produce exactly the
// records a test needs.
//
// Scripted mode is on when the environment variable QUILLHAVEN_DEMO_SCRIPTED is "1". A message
// is a script when at least one of its lines is a directive: a line that begins (after
// leading spaces or tabs) with "@" and a lowercase letter. Directives run in order, one per
// line; the argument is everything after the directive's name and one space, taken verbatim.
// Lines that are not directives are ignored. A message without directives is answered
// "You said: " + the message, streamed in deltas of up to 4 characters.
//
//   @reply TEXT         reply TEXT, streamed in deltas of up to 4 characters
//   @deltas A|B|C       a new message whose text deltas are exactly A, B and C; no assistant
//                       record follows unless @full comes next
//   @full TEXT          an assistant record with TEXT and no deltas of its own (after @deltas:
//                       the record that completes those deltas, whatever they said)
//   @assistant TEXT     the same as @full
//   @tool NAME JSON     a tool use of NAME with the JSON object as input (default {}); the
//                       PreToolUse hooks decide, the tool runs (Bash runs the command, Read
//                       reads the file, others do nothing), then a tool_result and a reply
//                       "NAME said: OUTPUT" or "NAME failed: OUTPUT" (output cut at 200
//                       characters)
//   @fail TEXT          the turn ends with a failed result whose "result" is TEXT
//   @fail-errors A|B    the turn ends with a failed result without "result", "errors" [A, B]
//   @api-error TEXT     an assistant record marked "is_api_error_message" (model
//                       "<synthetic>") with TEXT, then a failed result with "result" TEXT
//   @stderr TEXT        TEXT as one line on standard error
//   @exit CODE          the process exits with CODE (0-255) at once
//   @hang [PATH]        SIGTERM is ignored from now on and the turn never ends; with PATH,
//                       PATH.hanging is created once it is, and each SIGTERM ignored appends
//                       a line to PATH
//   @hold-stderr MS     a child process keeps standard error open for MS milliseconds (at
//                       most 60000), so it outlives the agent's own end
//   @deaf-flood N       stops reading standard input until at least 60000 bytes wait in it
//                       (at most 60 s), then writes N reply deltas of 100 characters, then
//                       reads again
//   @flood N            writes N reply deltas of 100 characters as fast as it can
//   @long-line BYTES    writes one line of BYTES "x" characters (at most 1 GiB)
//   @busy MS            waits MS milliseconds (0-3600000); input keeps being queued
//   @wait-file PATH     waits until PATH exists (at most 60 s)
//   @subagent           a delta, an assistant record and a tool_result record of a
//                       sub-agent ("parent_tool_use_id": "toolu_parent")
//   @mode MODE          this turn's init record reports permissionMode MODE
//   @raw LINE           LINE written verbatim as one line of standard output
//   @report             reply with the launch report (arguments, cwd, API key present,
//                       open descriptors, pid) as compact JSON
//   @session            reply with the session id
//
// @fail, @fail-errors and @api-error end the turn; directives after them are not run. A turn
// whose directives produce no reply of the main agent (@reply, @deltas, @full, @assistant,
// @tool, @report, @session) ends with the reply "Done.". The result's text is the last reply
// (for @deltas without @full: the deltas joined). Every turn that ends ends with a result.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

/// One parsed directive. Which members carry meaning depends on `kind`.
struct Directive {
  enum class Kind {
    Reply,
    Deltas,
    Full,
    Tool,
    Fail,
    FailErrors,
    ApiError,
    Stderr,
    Exit,
    Hang,
    Busy,
    WaitFile,
    Subagent,
    Mode,
    Raw,
    Report,
    Session,
    HoldStderr,
    DeafFlood,
    Flood,
    LongLine,
  };
  Kind kind = Kind::Reply;
  std::string text;                 // reply text, tool name, failure text, path, mode, line
  std::vector<std::string> pieces;  // @deltas pieces, @fail-errors errors
  Json input = Json::object();      // @tool input
  long long number = 0;             // @exit code, @busy and @hold-stderr milliseconds, counts
};

/// A message read as a script; `error` is not empty when a directive could not be read (the
/// turn then fails with that text and runs nothing).
struct Script {
  std::vector<Directive> directives;
  std::string error;
};

/// The directives of a message, or nullopt when the message holds none (a plain message).
std::optional<Script> parse_script(std::string_view text);

/// True when a directive of this kind gives the main agent a reply of its own.
bool produces_reply(Directive::Kind kind);
