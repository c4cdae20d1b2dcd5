#pragma once

#include "http/http_request.h"

/// Answers a POST: the hook, the policy, and the NPC commands. Returns what respond returned.
bool route_command(const HttpRequest& request, int fd);
