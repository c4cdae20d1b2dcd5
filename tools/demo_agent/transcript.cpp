#include "transcript.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "files.h"
#include "ids.h"
#include "util/os_error.h"
#include "util/paths.h"
#include "util/unique_fd.h"

namespace {

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// mkdir -p; true when the folder exists afterwards.
bool make_folders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return is_directory(path);
}

std::string parent_folder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

constexpr const char* APPENDED_PROMPT_KEY = "appendSystemPrompt";

// The value of `key` in the last line of the transcript that has it at its top level; null when
// no line has.
Json last_recorded(const std::string& path, const std::string& key) {
  // Transcripts of a demo session stay small; a generous cap keeps a stray huge file cheap.
  FileRead file = read_file(path, 64u << 20);
  std::string quoted = "\"" + key + "\"";
  Json found;
  std::size_t start = 0;
  while (file.ok && start < file.bytes.size()) {
    std::size_t end = file.bytes.find('\n', start);
    if (end == std::string::npos) end = file.bytes.size();
    std::string_view line(file.bytes.data() + start, end - start);
    start = end + 1;
    if (line.find(quoted) == std::string::npos) continue;
    std::optional<Json> parsed = parse_json(line);
    if (!parsed) continue;
    if (const Json* value = field(*parsed, key)) found = *value;
  }
  return found;
}

}  // namespace

std::string encode_project_folder(std::string_view resolved_cwd) {
  std::string out(resolved_cwd);
  for (char& c : out) {
    if (!is_ascii_alnum(c)) c = '-';
  }
  return out;
}

std::string projects_root(const std::string& home) { return join_path(home, ".claude/projects"); }

bool is_plain_session_id(std::string_view session_id) {
  return !session_id.empty() && session_id != "." && session_id != ".." &&
         session_id.find('/') == std::string_view::npos &&
         session_id.find('\0') == std::string_view::npos;
}

std::optional<std::string> find_session_file(const std::string& home,
                                             const std::string& session_id) {
  if (home.empty() || !is_plain_session_id(session_id)) return std::nullopt;
  std::string root = projects_root(home);
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<std::string> folders;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    folders.push_back(join_path(root, name));
  }
  ::closedir(dir);
  std::sort(folders.begin(), folders.end());
  for (const std::string& folder : folders) {
    std::string candidate = join_path(folder, session_id + ".jsonl");
    if (is_directory(folder) && is_regular_file(candidate)) return candidate;
  }
  return std::nullopt;
}

std::string iso_timestamp(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return buffer;
}

double recorded_session_cost(const std::string& path) {
  Json cost = last_recorded(path, "totalCostUsd");
  return cost.is_number() ? cost.get<double>() : 0.0;
}

std::string recorded_appended_prompt(const std::string& path) {
  Json prompt = last_recorded(path, APPENDED_PROMPT_KEY);
  return prompt.is_string() ? prompt.get<std::string>() : "";
}

void Transcript::keep_appended_prompt(const std::string& prompt) {
  Json line{{"type", "system-prompt"}, {APPENDED_PROMPT_KEY, prompt}, {"sessionId", session_id_}};
  pending_ += dump_json(line) + "\n";
}

void Transcript::append(const std::string& type, const Json& message, const Json& extra) {
  Json line{{"type", type},
            {"message", message},
            {"cwd", cwd_},
            {"sessionId", session_id_},
            {"timestamp", iso_timestamp(std::chrono::system_clock::now())},
            {"parentUuid", parent_uuid_},
            {"isSidechain", false},
            {"userType", "external"},
            {"uuid", new_uuid()}};
  if (extra.is_object()) {
    for (auto it = extra.begin(); it != extra.end(); ++it) line[it.key()] = it.value();
  }
  parent_uuid_ = line["uuid"];
  std::string text = std::exchange(pending_, "") + dump_json(line) + "\n";

  int err = 0;
  if (!make_folders(parent_folder(path_))) {
    err = errno;
  } else {
    int fd;
    do {
      fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    UniqueFd file(fd);
    if (!file.valid()) err = errno;
    std::size_t done = 0;
    while (file.valid() && done < text.size()) {
      ssize_t n = ::write(file.get(), text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        err = n < 0 ? errno : EIO;
        break;
      }
      done += static_cast<std::size_t>(n);
    }
  }
  if (err != 0 && !reported_failure_) {
    reported_failure_ = true;
    std::string note = "cannot write transcript " + path_ + ": " + os_error_text(err) + "\n";
    [[maybe_unused]] ssize_t ignored = ::write(STDERR_FILENO, note.data(), note.size());
  }
}
