#include "http/router.h"

#include <vector>

#include "agent/registry.h"
#include "http/commands.h"
#include "http/event_stream.h"
#include "http/npc_path.h"
#include "http/playground.h"
#include "http/read_endpoints.h"
#include "http/respond.h"

bool route(const HttpRequest& request, int fd) {
  if (request.method == "POST") {
    if (request.path == "/hook/permission") return hook_command(request.body, fd);
    if (request.path == "/policy") return policy_command(request.body, fd);
    auto npc_path = parse_npc_path(request.path);
    if (!npc_path) return respond_not_found(fd);
    return npc_command(get_or_create_npc(npc_path->first), npc_path->second, request.body, fd);
  }
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
