#include "harness/transcript_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace harness {

std::optional<std::string> read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool make_folders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

bool set_mtime(const std::string& path, std::int64_t seconds, long nanoseconds) {
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = nanoseconds;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string cli_folder_name(const std::string& path) {
  std::string out = path;
  for (char& c : out) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!keep) c = '-';
  }
  return out;
}

std::string message_line(const std::string& type, const Json& content, const std::string& cwd,
                         const std::string& session_id, const std::string& timestamp) {
  Json line = {{"type", type},
               {"message", {{"role", type}, {"content", content}}},
               {"cwd", cwd},
               {"timestamp", timestamp},
               {"sessionId", session_id}};
  return dump_json(line) + "\n";
}

}  // namespace harness
