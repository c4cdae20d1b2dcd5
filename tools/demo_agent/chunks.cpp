#include "chunks.h"

std::vector<std::string> split_chars(std::string_view text, std::size_t n) {
  std::vector<std::string> pieces;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = pos;
    for (std::size_t count = 0; count < n && end < text.size(); ++count) {
      ++end;  // past the lead byte, then past its continuation bytes
      while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    }
    pieces.emplace_back(text.substr(pos, end - pos));
    pos = end;
  }
  return pieces;
}
