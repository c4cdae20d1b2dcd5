#include "records.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "ids.h"
#include "util/process_exit.h"

namespace {

std::mutex stdout_lock;

void write_line(std::string line) {
  line += '\n';
  std::lock_guard<std::mutex> guard(stdout_lock);
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) exit_process(1);
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

Json usage_json(const TokenUsage& usage) {
  return Json{{"input_tokens", usage.input_tokens},
              {"output_tokens", usage.output_tokens},
              {"cache_creation_input_tokens", usage.cache_creation_input_tokens},
              {"cache_read_input_tokens", usage.cache_read_input_tokens}};
}

void emit_record(const Json& record) { write_line(dump_json(record)); }

void emit_raw_line(std::string_view line) { write_line(std::string(line)); }

Json init_record(const std::string& session_id, const std::string& model,
                 const std::string& permission_mode, const std::string& cwd) {
  return Json{{"type", "system"},
              {"subtype", "init"},
              {"session_id", session_id},
              {"model", model},
              {"permissionMode", permission_mode},
              {"cwd", cwd},
              {"tools", Json::array({"Task", "Bash", "Glob", "Grep", "LS", "Read", "Edit", "Write",
                                     "WebFetch", "TodoWrite"})},
              {"mcp_servers", Json::array()},
              {"apiKeySource", "none"},
              {"uuid", new_uuid()}};
}

Json stream_event_record(Json event, const std::string& session_id, const Json& parent) {
  return Json{{"type", "stream_event"},
              {"event", std::move(event)},
              {"parent_tool_use_id", parent},
              {"session_id", session_id},
              {"uuid", new_uuid()}};
}

Json message_start_event(const std::string& message_id, const std::string& model) {
  return Json{{"type", "message_start"},
              {"message",
               {{"id", message_id},
                {"type", "message"},
                {"role", "assistant"},
                {"model", model},
                {"content", Json::array()},
                {"stop_reason", nullptr},
                {"usage", usage_json({})}}}};
}

Json text_block_start_event(std::size_t index) {
  return Json{{"type", "content_block_start"},
              {"index", index},
              {"content_block", {{"type", "text"}, {"text", ""}}}};
}

Json text_delta_event(std::size_t index, const std::string& text) {
  return Json{{"type", "content_block_delta"},
              {"index", index},
              {"delta", {{"type", "text_delta"}, {"text", text}}}};
}

Json block_stop_event(std::size_t index) {
  return Json{{"type", "content_block_stop"}, {"index", index}};
}

Json message_delta_event(const std::string& stop_reason, std::uint64_t output_tokens) {
  return Json{{"type", "message_delta"},
              {"delta", {{"stop_reason", stop_reason}, {"stop_sequence", nullptr}}},
              {"usage", {{"output_tokens", output_tokens}}}};
}

Json message_stop_event() { return Json{{"type", "message_stop"}}; }

Json assistant_message(const std::string& message_id, const std::string& model, Json content,
                       const std::string& stop_reason) {
  return Json{{"id", message_id},
              {"type", "message"},
              {"role", "assistant"},
              {"model", model},
              {"content", std::move(content)},
              {"stop_reason", stop_reason},
              {"stop_sequence", nullptr},
              {"usage", usage_json({})}};
}

Json text_block(const std::string& text) { return Json{{"type", "text"}, {"text", text}}; }

Json tool_use_block(const std::string& id, const std::string& name, const Json& input) {
  return Json{{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}};
}

Json assistant_record(Json message, const std::string& session_id, const Json& parent) {
  return Json{{"type", "assistant"},
              {"message", std::move(message)},
              {"parent_tool_use_id", parent},
              {"session_id", session_id},
              {"uuid", new_uuid()}};
}

Json tool_result_message(const std::string& tool_use_id, const std::string& content,
                         bool is_error) {
  return Json{{"role", "user"},
              {"content", Json::array({Json{{"type", "tool_result"},
                                            {"tool_use_id", tool_use_id},
                                            {"content", content},
                                            {"is_error", is_error}}})}};
}

Json user_record(Json message, const std::string& session_id, const Json& parent) {
  return Json{{"type", "user"},
              {"message", std::move(message)},
              {"parent_tool_use_id", parent},
              {"session_id", session_id},
              {"uuid", new_uuid()}};
}

Json result_record(const TurnSummary& summary, const std::string& session_id) {
  Json record{{"type", "result"},
              {"subtype", summary.subtype},
              {"is_error", summary.is_error},
              {"duration_ms", summary.duration_ms},
              {"duration_api_ms", summary.duration_ms},
              {"num_turns", summary.num_turns},
              {"session_id", session_id},
              {"total_cost_usd", summary.total_cost_usd},
              {"usage", usage_json(summary.usage)},
              {"uuid", new_uuid()}};
  if (summary.has_result_text) record["result"] = summary.result_text;
  if (!summary.errors.empty()) record["errors"] = summary.errors;
  return record;
}
