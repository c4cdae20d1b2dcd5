#pragma once

#include <string>
#include <vector>

#include "util/json.h"

/// One parsed request, owned by its connection thread while it is routed.
struct HttpRequest {
  std::string method;
  std::string path;   // the target up to its first "?"
  std::string query;  // after the first "?", undecoded
  Json body = Json::object();  // an empty object when absent or not valid JSON
  bool close_after = false;
  // The two headers the loopback guard looks at, every one the request carried, in order: a
  // request may repeat them, and each must pass.
  std::vector<std::string> hosts;
  std::vector<std::string> origins;
};
