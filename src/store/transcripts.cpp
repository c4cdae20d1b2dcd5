#include "store/transcripts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <compare>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "agent/npc.h"
#include "util/fd_io.h"
#include "util/paths.h"
#include "util/text.h"
#include "util/unique_fd.h"

namespace {

constexpr std::size_t LINE_BUFFER_SIZE = 8192;
// The CLI writes "cwd" on every line, so the first few lines of a transcript are enough.
constexpr int CWD_SEARCH_LINES = 41;
// A label needs more than this many characters: greetings like "hi" describe nothing.
constexpr std::size_t MIN_LABEL_CHARS = 11;
constexpr std::size_t MAX_LABEL_CHARS = 70;

std::mutex folder_cache_lock;  // guards folder_cache
// Workspace path -> its transcript folder. Only folders that exist are entered; never
// destroyed, since detached threads may still look things up while the process exits.
std::unordered_map<std::string, std::string>& folder_cache() {
  static auto* cache = new std::unordered_map<std::string, std::string>();
  return *cache;
}

// A transcript line longer than this is skipped: no message the bridge looks at is that long.
constexpr std::size_t MAX_TRANSCRIPT_LINE = 64u << 20;

/// The next line of a transcript with invalid UTF-8 replaced, read through a fixed buffer so a
/// transcript is never held whole. False at the end of the file or at the first read error.
bool next_line(LineReader& reader, std::string& line) {
  std::string_view got;
  for (;;) {
    switch (reader.next(got)) {
      case LineReader::Got::Line:
        line = is_valid_utf8(got) ? std::string(got) : to_valid_utf8(got);
        return true;
      case LineReader::Got::TooLong:
        continue;
      case LineReader::Got::End:
      case LineReader::Got::Error:
        return false;
    }
  }
}

// Opens a regular file for reading. The open never blocks (a FIFO named like a transcript must
// not hang a request), and anything but a regular file gives an invalid descriptor.
UniqueFd open_regular(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (fd.valid() && (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))) fd.reset();
  return fd;
}

// The names in a folder, "." and ".." left out; none when it cannot be read.
std::vector<std::string> folder_entries(const std::string& folder) {
  std::vector<std::string> names;
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return names;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return names;
  }
  while (const dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

// The folders of projects_dir (links followed), sorted by path.
std::vector<std::string> project_subfolders() {
  std::string projects = projects_dir();
  std::vector<std::string> folders;
  for (const std::string& name : folder_entries(projects)) {
    std::string path = join_path(projects, name);
    if (is_directory(path)) folders.push_back(std::move(path));
  }
  std::sort(folders.begin(), folders.end());
  return folders;
}

constexpr std::string_view TRANSCRIPT_EXTENSION = ".jsonl";

// Names ending in ".jsonl" with something before the dot, in directory order.
std::vector<std::string> transcript_names(const std::string& folder) {
  std::vector<std::string> names;
  for (std::string& name : folder_entries(folder)) {
    if (name.size() > TRANSCRIPT_EXTENSION.size() &&
        std::string_view(name).substr(name.size() - TRANSCRIPT_EXTENSION.size()) ==
            TRANSCRIPT_EXTENSION) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

// A session id names a file inside a project folder; anything that would reach another
// folder, or be cut short at a NUL, names nothing.
bool is_plain_session_id(const std::string& session_id) {
  return !session_id.empty() && session_id != "." && session_id != ".." &&
         session_id.find('/') == std::string::npos && session_id.find('\0') == std::string::npos;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The words of the first user message's text, or "" when the line has no text content.
std::string user_text(const Json& line) {
  const Json* message = field(line, "message");
  if (message == nullptr || !message->is_object()) return "";
  const Json* content = field(*message, "content");
  if (content == nullptr) return "";
  if (content->is_string()) return content->get<std::string>();
  if (!content->is_array()) return "";
  std::string text;
  bool first = true;
  for (const Json& block : *content) {
    const Json* type = field(block, "type");
    if (type == nullptr || !type->is_string() || type->get_ref<const std::string&>() != "text") {
      continue;
    }
    if (!first) text += ' ';
    text += as_text(block, "text");
    first = false;
  }
  return text;
}

std::string collapse_white_space(std::string_view text) {
  std::string out;
  for (const std::string& piece : split_whitespace(text)) {
    if (!out.empty()) out += ' ';
    out += piece;
  }
  return out;
}

// The "cwd" recorded in the first lines of a transcript, if any.
std::optional<std::string> recorded_cwd(const std::string& path) {
  UniqueFd fd = open_regular(path);
  if (!fd.valid()) return std::nullopt;
  LineReader reader(fd.get(), MAX_TRANSCRIPT_LINE, LINE_BUFFER_SIZE);
  std::string line;
  for (int n = 0; n < CWD_SEARCH_LINES && next_line(reader, line); ++n) {
    if (!contains(line, "\"cwd\"")) continue;
    std::optional<Json> parsed = parse_json(line);
    if (!parsed || !parsed->is_object()) continue;
    const Json* cwd = field(*parsed, "cwd");
    if (cwd != nullptr && cwd->is_string() && !cwd->get_ref<const std::string&>().empty()) {
      return cwd->get<std::string>();
    }
  }
  return std::nullopt;
}

// The workspace with symbolic links resolved, when that differs from it.
std::optional<std::string> resolved_path(const std::string& workspace) {
  if (workspace.empty() || workspace.find('\0') != std::string::npos) return std::nullopt;
  char* resolved = ::realpath(workspace.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out = resolved;
  std::free(resolved);
  if (out == workspace) return std::nullopt;
  return out;
}

// The project folder whose transcripts record one of the workspace's paths as their "cwd".
std::optional<std::string> search_by_cwd(const std::string& workspace,
                                         const std::optional<std::string>& resolved) {
  for (const std::string& folder : project_subfolders()) {
    for (const std::string& name : transcript_names(folder)) {
      std::optional<std::string> cwd = recorded_cwd(join_path(folder, name));
      if (cwd && (*cwd == workspace || (resolved && *cwd == *resolved))) return folder;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string projects_dir() { return join_path(home_dir(), ".claude/projects"); }

std::optional<std::string> find_transcript(const std::string& session_id) {
  if (!is_plain_session_id(session_id)) return std::nullopt;
  std::string file_name = session_id + std::string(TRANSCRIPT_EXTENSION);
  for (const std::string& folder : project_subfolders()) {
    std::string candidate = join_path(folder, file_name);
    if (is_regular_file(candidate)) return candidate;
  }
  return std::nullopt;
}

TranscriptSummary scan_transcript(const std::string& path) {
  TranscriptSummary summary;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    summary.bytes = static_cast<std::uint64_t>(st.st_size);
#ifdef __APPLE__
    const timespec& mtime = st.st_mtimespec;
#else
    const timespec& mtime = st.st_mtim;
#endif
    if (mtime.tv_sec >= 0) {
      summary.modified =
          static_cast<double>(mtime.tv_sec) + static_cast<double>(mtime.tv_nsec) / 1e9;
    }
  }

  UniqueFd fd = open_regular(path);
  if (!fd.valid()) return summary;
  LineReader reader(fd.get(), MAX_TRANSCRIPT_LINE, LINE_BUFFER_SIZE);
  std::string line;
  while (next_line(reader, line)) {
    // Only lines that can be messages are parsed; most of a transcript is tool output.
    if (contains(line, "\"user\"") || contains(line, "\"assistant\"")) {
      std::optional<Json> parsed = parse_json(line);
      if (!parsed || !parsed->is_object()) continue;
      const Json* type = field(*parsed, "type");
      if (type == nullptr || !type->is_string()) continue;
      const std::string& kind = type->get_ref<const std::string&>();
      if (kind != "user" && kind != "assistant") continue;
      ++summary.messages;
      if (summary.started.empty()) summary.started = as_text(*parsed, "timestamp");
      if (kind == "user" && summary.first_prompt.empty()) {
        std::string text = collapse_white_space(user_text(*parsed));
        if (count_chars(text) > MIN_LABEL_CHARS) {
          summary.first_prompt = truncate_chars(text, MAX_LABEL_CHARS);
        }
      }
    } else if (summary.title.empty() && contains(line, "custom-title")) {
      if (std::optional<Json> parsed = parse_json(line)) {
        summary.title = as_text(*parsed, "customTitle");
      }
    }
  }
  return summary;
}

Json transcript_summary(const std::string& session_id) {
  TranscriptSummary s;
  if (std::optional<std::string> path = find_transcript(session_id)) s = scan_transcript(*path);
  return Json{{"messages", s.messages},
              {"label", s.first_prompt},
              {"started", s.started},
              {"bytes", s.bytes}};
}

Json session_info(const std::string& session_id, bool resumed) {
  Json info = transcript_summary(session_id);
  info["session_id"] = session_id;
  info["resumed"] = resumed;
  return info;
}

std::string encode_workspace(const std::string& workspace) {
  std::string out = workspace;
  std::replace(out.begin(), out.end(), '/', '-');
  return out;
}

std::string cli_encode_workspace(const std::string& workspace) {
  std::string out;
  out.reserve(workspace.size());
  for (std::size_t i = 0; i < workspace.size();) {
    auto c = static_cast<unsigned char>(workspace[i]);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // The CLI counts characters as its JavaScript strings do, in UTF-16 units: one "-" for a
    // character up to U+FFFF, two for one beyond (a lead byte 0xF0..0xF4). A byte that starts
    // no valid sequence is one "-".
    std::string_view rest = std::string_view(workspace).substr(i);
    std::size_t len = 1;
    if (c >= 0xC2 && c <= 0xF4) {
      std::size_t want = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      if (want <= rest.size() && is_valid_utf8(rest.substr(0, want))) len = want;
    }
    out += len == 4 ? "--" : "-";
    i += len;
  }
  return out;
}

std::string workspace_folder(const std::string& workspace) {
  if (workspace.empty()) return "";
  {
    std::lock_guard<std::mutex> guard(folder_cache_lock);
    auto it = folder_cache().find(workspace);
    if (it != folder_cache().end()) return it->second;
  }

  // The CLI names the folder after the path with links resolved (on macOS /tmp is
  // /private/tmp) and every non-alphanumeric character replaced; folders named by "/"
  // alone come from other tools and older CLIs.
  std::string projects = projects_dir();
  std::optional<std::string> resolved = resolved_path(workspace);
  std::vector<std::string> names;
  auto add = [&names](std::string name) {
    if (name.empty() || name == "." || name == ".." || name.find('\0') != std::string::npos) {
      return;
    }
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  };
  add(cli_encode_workspace(workspace));
  add(encode_workspace(workspace));
  if (resolved) {
    add(cli_encode_workspace(*resolved));
    add(encode_workspace(*resolved));
  }

  std::optional<std::string> found;
  for (const std::string& name : names) {
    std::string candidate = join_path(projects, name);
    if (is_directory(candidate)) {
      found = std::move(candidate);
      break;
    }
  }
  if (!found) found = search_by_cwd(workspace, resolved);
  // Not cached when missing: the CLI creates the folder with the workspace's first session.
  if (!found) return join_path(projects, cli_encode_workspace(resolved.value_or(workspace)));

  std::lock_guard<std::mutex> guard(folder_cache_lock);
  folder_cache()[workspace] = *found;
  return *found;
}

Json list_sessions(const std::string& workspace) {
  std::string folder = workspace_folder(workspace);
  std::vector<std::pair<double, Json>> entries;
  if (!folder.empty()) {
    for (const std::string& name : transcript_names(folder)) {
      std::string session_id = name.substr(0, name.size() - TRANSCRIPT_EXTENSION.size());
      if (!is_plain_session_id(session_id)) continue;
      TranscriptSummary s = scan_transcript(join_path(folder, name));
      if (s.messages == 0) continue;
      Json modified = std::isfinite(s.modified) ? Json(s.modified) : Json(nullptr);
      entries.emplace_back(s.modified, Json{{"session_id", session_id},
                                            {"messages", s.messages},
                                            {"label", s.first_prompt},
                                            {"title", s.title},
                                            {"started", s.started},
                                            {"bytes", s.bytes},
                                            {"modified", std::move(modified)}});
    }
  }
  std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return std::strong_order(a.first, b.first) > 0;
  });
  Json list = Json::array();
  for (auto& entry : entries) list.push_back(std::move(entry.second));
  return list;
}
