#include "http/playground.h"

#include "http/respond.h"

namespace {

// Scripts, styles, images and requests only from the bridge itself; no plugins, no forms sent
// elsewhere, and no framing by any page (X-Frame-Options for browsers that predate
// frame-ancestors).
constexpr std::string_view SECURITY_HEADERS =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Frame-Options: DENY\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Cache-Control: no-cache\r\n";

}  // namespace

const WebAsset* find_web_asset(std::string_view path) {
  for (std::size_t i = 0; i < WEB_ASSET_COUNT; ++i) {
    if (WEB_ASSETS[i].path == path) return &WEB_ASSETS[i];
  }
  return nullptr;
}

bool respond_web_asset(int fd, const WebAsset& asset) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Type: ";
  head += asset.content_type;
  head += "\r\nContent-Length: " + std::to_string(asset.body.size()) + "\r\n";
  head += SECURITY_HEADERS;
  head += "\r\n";
  return write_two(fd, head, asset.body);
}

std::string playground_url(const std::string& host, int port) {
  std::string shown = host;
  if (shown == "0.0.0.0") shown = "127.0.0.1";
  if (shown == "::") shown = "::1";
  if (shown.find(':') != std::string::npos) shown = "[" + shown + "]";
  return "http://" + shown + ":" + std::to_string(port) + "/";
}
