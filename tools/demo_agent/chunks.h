// Cutting a reply into the pieces it is streamed in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// Pieces of at most `n` characters (code points, never split inside one) that join back to
/// the text. An empty text gives no pieces.
std::vector<std::string> split_chars(std::string_view text, std::size_t n);

/// Pieces of two to four words each (the count chosen by `pick`, which returns 2, 3 or 4),
/// every piece keeping the white space that follows its words, so they join back to the text.
template <typename Pick>
std::vector<std::string> split_words(std::string_view text, Pick&& pick) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t words = pick();
    std::size_t end = pos;
    for (std::size_t w = 0; w < words && end < text.size(); ++w) {
      end = text.find_first_of(" \n", text.find_first_not_of(" \n", end));
      if (end == std::string_view::npos) end = text.size();
      std::size_t next = text.find_first_not_of(" \n", end);
      end = next == std::string_view::npos ? text.size() : next;
    }
    pieces.emplace_back(text.substr(pos, end - pos));
    pos = end;
  }
  return pieces;
}
