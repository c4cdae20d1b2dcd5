#include "http/router.h"

#include <vector>

#include "agent/npc.h"
#include "http/commands.h"
#include "http/event_stream.h"
#include "http/playground.h"
#include "http/read_endpoints.h"
#include "http/respond.h"

bool route(const HttpRequest& request, int fd) {
  if (request.method == "POST") return route_command(request, fd);
  if (request.method != "GET") return respond_not_found(fd);
  if (request.path == "/health") return respond(fd, 200, health_view());
  if (request.path == "/policy") return respond(fd, 200, policy_view());
  if (request.path == "/models") return respond(fd, 200, models_view());
  if (request.path == "/npcs") return respond(fd, 200, npcs_view());
  if (const WebAsset* asset = find_web_asset(request.path)) return respond_web_asset(fd, *asset);
  auto npc_path = parse_npc_path(request.path);
  if (!npc_path) return respond_not_found(fd);
  // Any GET for an NPC path creates the NPC, whatever the action turns out to be.
  NpcHandle npc = get_or_create_npc(npc_path->first);
  const std::string& action = npc_path->second;
  if (action == "events") {
    serve_event_stream(*npc, request.query, fd);
    return false;
  }
  if (action == "sessions") return respond(fd, 200, sessions_view(*npc));
  return respond_not_found(fd);
}

std::optional<std::pair<std::string, std::string>> parse_npc_path(std::string_view path) {
  std::size_t first = path.find_first_not_of('/');
  if (first == std::string_view::npos) return std::nullopt;
  path = path.substr(first, path.find_last_not_of('/') - first + 1);

  // Empty pieces between two slashes are segments too: "/npc//events" names the id "".
  std::vector<std::string_view> segments;
  for (std::size_t start = 0;;) {
    std::size_t slash = path.find('/', start);
    segments.push_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos || segments.size() == 3) break;
    start = slash + 1;
  }
  if (segments.size() < 3 || segments[0] != "npc") return std::nullopt;
  return std::make_pair(std::string(segments[1]), std::string(segments[2]));
}
