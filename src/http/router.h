#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "http/http_request.h"

/// Answers one request on `fd`. Returns whether the connection may carry another request
/// (false after an event stream or a failed write).
bool route(const HttpRequest& request, int fd);

/// "/npc/ID/ACTION[/...]" -> (ID, ACTION); anything else -> nullopt.
std::optional<std::pair<std::string, std::string>> parse_npc_path(std::string_view path);
