#include "util/tool_summary.h"

#include <initializer_list>
#include <string>
#include <vector>

#include "util/text.h"

namespace {

constexpr std::size_t MAX_COMMAND_CHARS = 600;
constexpr std::size_t MAX_DESCRIPTION_CHARS = 200;

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  for (std::string_view candidate : names) {
    if (name == candidate) return true;
  }
  return false;
}

// POSIX path components: a leading "/" is a component of its own (the root); empty pieces
// and "." carry no meaning and are dropped. ".." is kept as written.
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> parts;
  if (!path.empty() && path.front() == '/') parts.push_back("/");
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view piece = path.substr(start, end - start);
    if (!piece.empty() && piece != ".") parts.push_back(piece);
    start = end + 1;
  }
  return parts;
}

// The path as seen from the workspace. Only paths that start with the workspace's text are
// rewritten; anything else is shown as the tool gave it, so an unrelated path never turns
// into a long chain of "..".
std::string relative_to_workspace(const std::string& path, std::string_view workspace) {
  if (workspace.empty() || path.size() < workspace.size() ||
      std::string_view(path).substr(0, workspace.size()) != workspace) {
    return path;
  }
  std::vector<std::string_view> target = path_components(path);
  std::vector<std::string_view> base = path_components(workspace);
  std::size_t common = 0;
  while (common < target.size() && common < base.size() && target[common] == base[common]) {
    ++common;
  }
  std::string out;
  auto add = [&out](std::string_view piece) {
    if (!out.empty()) out += '/';
    out.append(piece);
  };
  for (std::size_t i = common; i < base.size(); ++i) add("..");
  for (std::size_t i = common; i < target.size(); ++i) add(target[i]);
  return out.empty() ? "." : out;
}

// Newlines plus one: a text ending in a newline counts its empty last line.
std::size_t line_count(std::string_view text) {
  std::size_t lines = 1;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

std::string tool_category(std::string_view name) {
  if (is_one_of(name, {"Read", "Glob", "Grep", "NotebookRead"})) return "read";
  if (is_one_of(name, {"Edit", "MultiEdit", "Write", "NotebookEdit"})) return "write";
  if (is_one_of(name, {"Bash", "BashOutput", "KillShell"})) return "exec";
  if (is_one_of(name, {"WebFetch", "WebSearch"})) return "net";
  if (is_one_of(name, {"Task", "Agent"})) return "delegate";
  return "other";
}

std::string tool_detail(std::string_view name, const Json& input, std::string_view workspace) {
  if (!input.is_object()) return "";
  // Whatever the tool, the file it touches says the most about it.
  for (std::string_view key : {"file_path", "path", "notebook_path"}) {
    if (const Json* value = field(input, key)) {
      return relative_to_workspace(as_text(value), workspace);
    }
  }
  if (is_one_of(name, {"Bash", "BashOutput"})) {
    std::string shown =
        is_truthy(input, "command") ? as_text(input, "command") : as_text(input, "description");
    return truncate_chars(shown, MAX_COMMAND_CHARS);
  }
  if (is_one_of(name, {"Grep", "Glob"})) return as_text(input, "pattern");
  if (is_one_of(name, {"Task", "Agent"})) return as_text(input, "description");
  if (name == "WebFetch") return as_text(input, "url");
  if (name == "WebSearch") return as_text(input, "query");
  return "";
}

std::string tool_note(std::string_view name, const Json& input) {
  if (!input.is_object()) return "";
  if (is_one_of(name, {"Bash", "BashOutput"})) {
    return truncate_chars(as_text(input, "description"), MAX_DESCRIPTION_CHARS);
  }
  if (is_one_of(name, {"Edit", "MultiEdit"})) {
    const Json* edits = field(input, "edits");
    if (edits != nullptr && edits->is_array() && !edits->empty()) {
      return std::to_string(edits->size()) + " edits";
    }
    std::string old_text = as_text(input, "old_string");
    if (!old_text.empty()) return "replacing " + std::to_string(line_count(old_text)) + " lines";
    return "";
  }
  if (is_one_of(name, {"Write", "NotebookEdit"})) {
    std::string written =
        is_truthy(input, "content") ? as_text(input, "content") : as_text(input, "new_source");
    if (written.empty()) return "";
    return std::to_string(line_count(written)) + " lines";
  }
  if (is_one_of(name, {"Grep", "Glob"})) return as_text(input, "path");
  if (is_one_of(name, {"Task", "Agent"})) return as_text(input, "subagent_type");
  return "";
}
