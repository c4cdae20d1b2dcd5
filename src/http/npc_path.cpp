#include "http/npc_path.h"

#include <vector>

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
