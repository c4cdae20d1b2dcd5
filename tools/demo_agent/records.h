// The NDJSON records the demo agent writes on standard output, in the agent CLI's shapes.
//
// Standard output carries nothing but these records: one compact JSON object per line, each
// line written whole and at once, so a reader never sees half a record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

/// Token counts of one turn, as the "usage" object of messages and results.
struct TokenUsage {
  std::uint64_t input_tokens = 0;
  std::uint64_t output_tokens = 0;
  std::uint64_t cache_creation_input_tokens = 0;
  std::uint64_t cache_read_input_tokens = 0;
};
Json usage_json(const TokenUsage& usage);

/// Writes the record as one line on standard output. When standard output is gone (the
/// bridge closed the pipe) the process ends with status 1: nobody is left to talk to.
void emit_record(const Json& record);

/// Writes the text and a line feed on standard output unchanged (for test scripts that need a
/// malformed or unusual line). Ends the process like emit_record when the pipe is gone.
void emit_raw_line(std::string_view line);

/// The "system"/"init" record that opens every turn.
Json init_record(const std::string& session_id, const std::string& model,
                 const std::string& permission_mode, const std::string& cwd);

/// Wraps a model streaming event; `parent` is null for the main agent, a tool use id for a
/// sub-agent's records.
Json stream_event_record(Json event, const std::string& session_id, const Json& parent);

/// The streaming events that frame one assistant message.
Json message_start_event(const std::string& message_id, const std::string& model);
Json text_block_start_event(std::size_t index);
Json text_delta_event(std::size_t index, const std::string& text);
Json block_stop_event(std::size_t index);
Json message_delta_event(const std::string& stop_reason, std::uint64_t output_tokens);
Json message_stop_event();

/// An assistant message object ("message" of an assistant record) holding `content` blocks.
Json assistant_message(const std::string& message_id, const std::string& model, Json content,
                       const std::string& stop_reason);
Json text_block(const std::string& text);
Json tool_use_block(const std::string& id, const std::string& name, const Json& input);

/// {"type":"assistant","message":...,"parent_tool_use_id":parent,"session_id":...}.
Json assistant_record(Json message, const std::string& session_id, const Json& parent);

/// A user message carrying one tool_result block, and the record around it.
Json tool_result_message(const std::string& tool_use_id, const std::string& content, bool is_error);
Json user_record(Json message, const std::string& session_id, const Json& parent);

/// What the "result" record that closes a turn reports.
struct TurnSummary {
  bool is_error = false;
  std::string subtype = "success";
  bool has_result_text = true;  // false: no "result" member at all
  std::string result_text;
  std::vector<std::string> errors;  // written as "errors" when not empty
  std::uint64_t num_turns = 1;
  std::uint64_t duration_ms = 0;
  double total_cost_usd = 0.0;  // running total of the session
  TokenUsage usage;
};
Json result_record(const TurnSummary& summary, const std::string& session_id);
