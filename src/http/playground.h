// The playground: a page, served by the bridge itself, that plays every NPC through the public
// HTTP API as a game would.
#pragma once

#include <string>
#include <string_view>

#include "http/web_assets.h"

/// The embedded file served at exactly `path` ("/" is the page), or nullptr.
const WebAsset* find_web_asset(std::string_view path);

/// 200 with the file, its Content-Type, and headers that keep the page to the bridge's own
/// origin and out of other pages' frames. True when all of it was written.
bool respond_web_asset(int fd, const WebAsset& asset);

/// The address to open the playground at, for the configured host and port: an IPv6 address
/// bracketed, and an any-address ("0.0.0.0", "::") replaced by the loopback address of its
/// family, which a browser on this machine can reach.
std::string playground_url(const std::string& host, int port);
