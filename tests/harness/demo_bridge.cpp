#include "harness/demo_bridge.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "util/fd_io.h"

namespace harness {

namespace {

BridgeOptions demo_options(const std::string& scratch, std::vector<std::string> args,
                           EnvChanges env, std::optional<std::uint16_t> port) {
  BridgeOptions options;
  options.port = port;
  options.claude = "demo";
  options.args = std::move(args);
  options.env = {{"QUILLHAVEN_DEMO_SCRIPTED", "1"},
                 {"QUILLHAVEN_DEMO_LOG", scratch + "/launches.jsonl"}};
  for (auto& [name, value] : env) options.env[name] = std::move(value);
  return options;
}

// The text of /proc/PID/stat after the command name: "S PPID ...". Empty when unreadable.
std::string stat_after_name(const std::string& pid_dir) {
  // Read with plain calls: a process that ends meanwhile fails the read with ESRCH, which an
  // ifstream would throw as an exception.
  std::string text;
  int fd = ::open((pid_dir + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  int err = read_to_end(fd, text, 4096);
  ::close(fd);
  if (err != 0) return "";
  // The command name is in parentheses and may itself hold spaces or parentheses.
  std::size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return "";
  return text.substr(close + 2);
}

}  // namespace

DemoBridge::DemoBridge(std::vector<std::string> args, EnvChanges env,
                       std::optional<std::uint16_t> port)
    : bridge_(demo_options(scratch_.path(), std::move(args), std::move(env), port)) {}

std::optional<HttpResponse> DemoBridge::post(const std::string& path, const Json& body,
                                             std::chrono::milliseconds timeout) {
  return http_request(port(), "POST", path, body, timeout);
}

std::optional<HttpResponse> DemoBridge::say(const std::string& npc, const std::string& text) {
  return post("/npc/" + npc + "/say", Json{{"text", text}});
}

std::vector<Json> DemoBridge::launches() const {
  std::vector<Json> out;
  std::ifstream file(scratch() + "/launches.jsonl");
  std::string line;
  while (std::getline(file, line)) {
    if (std::optional<Json> parsed = parse_json(line)) out.push_back(std::move(*parsed));
  }
  return out;
}

std::vector<Json> DemoBridge::wait_for_launches(std::size_t count,
                                                std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<Json> found = launches();
    if (found.size() >= count || std::chrono::steady_clock::now() >= deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void DemoBridge::release(const std::string& name) const {
  std::ofstream(hold_path(name)) << "go\n";
}

std::vector<std::string> base_agent_args(const std::string& mode) {
  return {"--print",   "--input-format",    "stream-json", "--output-format", "stream-json",
          "--include-partial-messages", "--verbose", "--permission-mode", mode};
}

std::vector<std::string> launch_args(const Json& launch) {
  std::vector<std::string> out;
  if (const Json* args = field(launch, "args"); args != nullptr && args->is_array()) {
    for (const Json& arg : *args) out.push_back(as_text(&arg));
  }
  return out;
}

std::optional<std::string> launch_flag(const Json& launch, const std::string& flag) {
  std::vector<std::string> args = launch_args(launch);
  auto at = std::find(args.begin(), args.end(), flag);
  if (at == args.end() || at + 1 == args.end()) return std::nullopt;
  return *(at + 1);
}

std::string session_of(const std::vector<Json>& events) {
  std::vector<Json> sessions = of_type(events, "session");
  return sessions.empty() ? "" : as_text(sessions.back(), "session_id");
}

bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (::access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

pid_t launch_pid(const Json& launch) {
  Json pid = or_zero(launch, "pid");
  return pid.is_number_integer() ? static_cast<pid_t>(pid.get<long long>()) : -1;
}

bool process_alive(pid_t pid) {
  if (pid <= 0) return false;
  std::string rest = stat_after_name("/proc/" + std::to_string(pid));
  return !rest.empty() && rest[0] != 'Z' && rest[0] != 'X';
}

bool wait_until_gone(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (process_alive(pid)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

std::vector<pid_t> zombie_children(pid_t parent) {
  std::vector<pid_t> out;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return out;
  while (dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    std::istringstream rest(stat_after_name(std::string("/proc/") + entry->d_name));
    char state = 0;
    long ppid = 0;
    if (rest >> state >> ppid && state == 'Z' && ppid == parent) {
      out.push_back(static_cast<pid_t>(pid));
    }
  }
  ::closedir(dir);
  return out;
}

bool wait_for_sigterm_ignored(pid_t pid, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigIgn:", 0) != 0) continue;
      unsigned long long mask = std::strtoull(line.c_str() + 7, nullptr, 16);
      if (mask & (1ULL << (SIGTERM - 1))) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool open_events(SseStream& stream, std::uint16_t port, const std::string& npc,
                 std::chrono::milliseconds timeout) {
  if (!stream.open(port, npc, std::nullopt, timeout)) return false;
  std::optional<Json> hello = stream.next_event(timeout);
  return hello && as_text(*hello, "type") == "hello";
}

std::optional<std::vector<Json>> read_until(SseStream& stream,
                                            const std::function<bool(const Json&)>& done,
                                            std::chrono::milliseconds timeout) {
  std::size_t first = stream.seen().size();
  if (!stream.wait_for(done, timeout)) return std::nullopt;
  const std::vector<Json>& seen = stream.seen();
  return std::vector<Json>(seen.begin() + static_cast<std::ptrdiff_t>(first), seen.end());
}

std::optional<std::vector<Json>> read_until_type(SseStream& stream, const std::string& type,
                                                 std::chrono::milliseconds timeout) {
  return read_until(
      stream, [&](const Json& e) { return as_text(e, "type") == type; }, timeout);
}

std::function<bool(const Json&)> is_state(const std::string& value) {
  return [value](const Json& e) {
    return as_text(e, "type") == "state" && as_text(e, "value") == value;
  };
}

std::vector<Json> of_type(const std::vector<Json>& events, const std::string& type) {
  std::vector<Json> out;
  for (const Json& e : events) {
    if (as_text(e, "type") == type) out.push_back(e);
  }
  return out;
}

std::vector<std::string> types_of(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const Json& e : events) out.push_back(as_text(e, "type"));
  return out;
}

}  // namespace harness
