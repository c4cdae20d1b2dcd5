#include "tools.h"

#include <cerrno>
#include <chrono>

#include "command.h"
#include "files.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/text.h"

namespace {

constexpr auto BASH_TIME_LIMIT = std::chrono::minutes(2);

// A cut can fall inside a character; drop its partial bytes rather than invent a U+FFFD.
std::string clean_text(std::string bytes, bool cut) {
  if (cut) {
    std::size_t lead = bytes.size();
    while (lead > 0 && bytes.size() - lead < 4 &&
           (static_cast<unsigned char>(bytes[lead - 1]) & 0xC0) == 0x80) {
      --lead;
    }
    if (lead > 0) {
      auto c = static_cast<unsigned char>(bytes[lead - 1]);
      std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
      if (bytes.size() - (lead - 1) < need) bytes.resize(lead - 1);
    }
  }
  return to_valid_utf8(bytes);
}

std::string without_trailing_newlines(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

ToolOutcome run_bash(const Json& input, const std::string& cwd) {
  std::string command = as_text(input, "command");
  if (command.empty()) return {"Error: no command given", true};
  // One stream, in the order the command wrote it.
  CommandRun run = run_shell("exec 2>&1\n" + command, "", cwd,
                             std::chrono::duration_cast<std::chrono::milliseconds>(BASH_TIME_LIMIT),
                             TOOL_OUTPUT_LIMIT);
  if (!run.started) return {"Error: " + os_error_text(run.spawn_error), true};
  std::string output = without_trailing_newlines(clean_text(run.output, run.output_cut));
  if (run.timed_out)
    return {output.empty() ? "Command timed out" : output + "\nCommand timed out", true};
  if (run.exit_status != 0) {
    std::string status =
        run.exit_status < 0 ? "Command was killed" : "Exit code " + std::to_string(run.exit_status);
    return {output.empty() ? status : output + "\n" + status, true};
  }
  return {output, false};
}

ToolOutcome run_read(const Json& input, const std::string& cwd) {
  std::string path = as_text(input, "file_path");
  if (path.empty()) return {"Error: no file_path given", true};
  FileRead file = read_file(join_path(cwd, path), TOOL_OUTPUT_LIMIT);
  if (!file.ok) {
    if (file.error == ENOENT) return {"File does not exist.", true};
    return {"Error: " + os_error_text(file.error), true};
  }
  return {clean_text(std::move(file.bytes), file.truncated), false};
}

}  // namespace

ToolOutcome run_tool(const std::string& name, const Json& input, const std::string& cwd) {
  if (name == "Bash") return run_bash(input, cwd);
  if (name == "Read") return run_read(input, cwd);
  return {"done", false};
}
