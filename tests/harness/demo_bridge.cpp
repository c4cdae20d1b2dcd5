#include "harness/demo_bridge.h"

#include <fcntl.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "util/platform.h"

namespace harness {

namespace {

// A file under /proc, read with plain calls: a process that ends meanwhile fails the read with
// ESRCH, which an ifstream would throw as an exception. "" when unreadable.
std::string read_proc(const std::string& path) {
  std::string text;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() && read_to_end(fd.get(), text, 1 << 16) == 0 ? text : "";
}

// The text of /proc/PID/stat after the command name, which may itself hold spaces or
// parentheses: "S PPID ...". Empty when unreadable.
std::string stat_after_name(const std::string& pid) {
  std::string text = read_proc("/proc/" + pid + "/stat");
  std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 > text.size() ? "" : text.substr(close + 2);
}

// The demo agent scripted and logging its launches, unless `env` says otherwise.
EnvChanges scripted_env(const std::string& scratch, EnvChanges env) {
  env.try_emplace("QUILLHAVEN_DEMO_SCRIPTED", "1");
  env.try_emplace("QUILLHAVEN_DEMO_LOG", scratch + "/launches.jsonl");
  return env;
}

}  // namespace

DemoBridge::DemoBridge(std::vector<std::string> args, EnvChanges env)
    : bridge_({.args = std::move(args),
               .env = scripted_env(scratch_.path(), std::move(env)),
               .claude = "demo"}) {}

std::vector<Json> DemoBridge::launches() const {
  std::vector<Json> out;
  std::ifstream file(scratch() + "/launches.jsonl");
  for (std::string line; std::getline(file, line);)
    if (std::optional<Json> parsed = parse_json(line)) out.push_back(std::move(*parsed));
  return out;
}

std::vector<std::string> base_agent_args(const std::string& mode,
                                         const std::vector<std::string>& tail) {
  std::vector<std::string> args = {
      "--print",         "--input-format",    "stream-json",
      "--output-format", "stream-json",       "--include-partial-messages",
      "--verbose",       "--permission-mode", mode};
  args.insert(args.end(), tail.begin(), tail.end());
  return args;
}

bool process_alive(pid_t pid) {
  std::string rest = pid > 0 ? stat_after_name(std::to_string(pid)) : "";
  return !rest.empty() && rest[0] != 'Z' && rest[0] != 'X';
}

std::vector<ProcessEntry> process_table() {
  std::vector<ProcessEntry> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    std::string pid = entry.path().filename();
    if (!std::isdigit(static_cast<unsigned char>(pid[0]))) continue;
    std::istringstream rest(stat_after_name(pid));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent) out.push_back({static_cast<pid_t>(std::stol(pid)), parent, state});
  }
  return out;
}

std::vector<pid_t> zombie_children(pid_t parent) {
  std::vector<pid_t> out;
  for (const ProcessEntry& p : process_table())
    if (p.state == 'Z' && p.parent == parent) out.push_back(p.pid);
  return out;
}

bool wait_for_sigterm_ignored(pid_t pid, std::chrono::milliseconds timeout) {
  return eventually(
      [&] {
        std::string status = read_proc("/proc/" + std::to_string(pid) + "/status");
        std::size_t at = status.find("\nSigIgn:");
        return at != std::string::npos &&
               (std::strtoull(status.c_str() + at + 8, nullptr, 16) & (1ULL << (SIGTERM - 1)));
      },
      timeout);
}

bool open_events(SseStream& stream, std::uint16_t port, const std::string& npc) {
  std::optional<Json> hello = stream.open(port, npc) ? stream.next_event() : std::nullopt;
  return hello && as_text(*hello, "type") == "hello";
}

std::optional<std::vector<Json>> read_until(SseStream& stream,
                                            const std::function<bool(const Json&)>& done,
                                            std::chrono::milliseconds timeout) {
  auto first = static_cast<std::ptrdiff_t>(stream.seen().size());
  if (!stream.wait_for(done, timeout)) return std::nullopt;
  return std::vector<Json>(stream.seen().begin() + first, stream.seen().end());
}

Json npc_row(std::uint16_t port, const std::string& npc_id) {
  std::optional<HttpResponse> response = http_request(port, "GET", "/npcs");
  Json listing = response ? response->json() : Json();
  const Json* rows = field(listing, "npcs");
  for (const Json& row : rows != nullptr && rows->is_array() ? *rows : Json::array())
    if (as_text(row, "id") == npc_id) return row;
  return nullptr;
}

bool ipv6_loopback_available() {
  std::uint16_t port = 0;
  return loopback_socket(port, false, AF_INET6).valid();
}

}  // namespace harness
