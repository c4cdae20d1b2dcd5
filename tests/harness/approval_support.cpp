#include "harness/approval_support.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "util/platform.h"
#include "util/unique_fd.h"

namespace harness {

Json decision(const std::string& word, const std::string& reason) {
  return {{"hookSpecificOutput",
           {{"hookEventName", "PreToolUse"},
            {"permissionDecision", word},
            {"permissionDecisionReason", reason}}}};
}

bool HookRequest::send_text(std::uint16_t port, const std::string& body) {
  if (!connection_.connect(port)) return false;
  return connection_.send_raw(
      "POST /hook/permission HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body);
}

std::optional<HttpResponse> HookRequest::answer(std::chrono::milliseconds timeout) {
  return connection_.read_response(timeout);
}

bool is_event(const Json& event, const std::string& type, const Json& fields) {
  if (as_text(event, "type") != type) return false;
  for (const auto& [key, value] : fields.items()) {
    const Json* member = field(event, key);
    if (member == nullptr || *member != value) return false;
  }
  return true;
}

std::size_t position(const std::vector<Json>& events, const std::string& type, const Json& fields) {
  std::size_t at = 0;
  while (at < events.size() && !is_event(events[at], type, fields)) ++at;
  return at;
}

std::optional<Json> find_event(SseStream& events, const std::string& type, const Json& fields) {
  std::size_t at = position(events.seen(), type, fields);
  if (at < events.seen().size()) return events.seen()[at];
  return wait_for_event(events, type, fields);
}

std::optional<Json> wait_for_event(SseStream& events, const std::string& type, const Json& fields,
                                   std::chrono::milliseconds timeout) {
  return events.wait_for([&](const Json& event) { return is_event(event, type, fields); }, timeout);
}

Json npc_row(std::uint16_t port, const std::string& npc_id) {
  std::optional<HttpResponse> response = http_request(port, "GET", "/npcs");
  if (!response) return nullptr;
  Json listing = response->json();
  const Json* rows = field(listing, "npcs");
  if (rows == nullptr || !rows->is_array()) return nullptr;
  for (const Json& row : *rows) {
    if (as_text(row, "id") == npc_id) return row;
  }
  return nullptr;
}

std::optional<HttpResponse> npc_post(std::uint16_t port, const std::string& npc_id,
                                     const std::string& action, const Json& body) {
  return http_request(port, "POST", "/npc/" + npc_id + "/" + action, body);
}

bool ipv6_loopback_available() {
  UniqueFd fd(socket_cloexec(AF_INET6, SOCK_STREAM, 0));
  if (!fd.valid()) return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  return ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace harness
