#include "http/loopback_guard.h"

#include <string>
#include <string_view>

#include "config/config.h"
#include "util/text.h"

namespace {

// The host of an authority ("host", "host:port", "[v6]:port", possibly followed by a path),
// lower-cased; an IPv6 address comes out bracketed. The bridge's own hook client names a bridge
// listening on an IPv6 address as "v6:port", without brackets; that form is read too.
std::string authority_host(std::string_view authority) {
  std::size_t end;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    end = close == std::string_view::npos ? authority.size() : close + 1;
  } else if (authority.find('/') == std::string_view::npos &&
             authority.find(':') != authority.rfind(':')) {
    // Appended, not prefixed: GCC 12 sees a false overflow in inserting "[" before it at -O3.
    return std::string("[").append(ascii_lower(authority.substr(0, authority.rfind(':')))) + "]";
  } else {
    end = authority.find_first_of(":/");
    if (end == std::string_view::npos) end = authority.size();
  }
  return ascii_lower(authority.substr(0, end));
}

// 127.x.y.z with four decimal parts, each at most 255.
bool is_ipv4_loopback(std::string_view host) {
  int parts = 0;
  std::size_t i = 0;
  while (i <= host.size()) {
    std::size_t dot = host.find('.', i);
    if (dot == std::string_view::npos) dot = host.size();
    std::string_view part = host.substr(i, dot - i);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255 || (parts == 0 && value != 127)) return false;
    ++parts;
    i = dot + 1;
  }
  return parts == 4;
}

bool is_loopback_name(std::string_view host) {
  return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

// The configured host as it appears in a Host header: lower-cased, an IPv6 address bracketed.
std::string configured_host() {
  std::string host = ascii_lower(config().host);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return host;
}

bool origin_allowed(std::string_view origin) {
  std::size_t scheme_end = origin.find("://");
  // "null" (sandboxed pages, file URLs) and anything else without a scheme is foreign.
  if (scheme_end == std::string_view::npos) return false;
  return is_loopback_name(authority_host(origin.substr(scheme_end + 3)));
}

bool host_allowed(std::string_view host_header) {
  std::string host = authority_host(host_header);
  if (is_loopback_name(host)) return true;
  std::string configured = configured_host();
  if (!host.empty() && host == configured) return true;
  bool listening_on_loopback = is_loopback_name(configured) || is_ipv4_loopback(configured);
  return listening_on_loopback && (is_ipv4_loopback(host) || host == "[::1]");
}

}  // namespace

bool request_allowed(const HttpRequest& request) {
  // Every copy is checked: were only the first or the last one read, a foreign name beside a
  // loopback one would pass whichever way another program reads the request.
  for (const std::string& origin : request.origins) {
    if (!origin_allowed(origin)) return false;
  }
  for (const std::string& host : request.hosts) {
    if (!host_allowed(host)) return false;
  }
  return true;
}
