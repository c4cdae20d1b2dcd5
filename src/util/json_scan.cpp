#include "util/json_scan.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "util/text.h"

namespace {

// Bytes that stand for themselves inside a JSON string: anything but a quote, a backslash, a
// control character or the start of a multi-byte sequence.
constexpr std::array<bool, 256> PLAIN = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

// A number token this short, with an exponent of at most two digits, is below 1e131 and so
// always fits a double; the parser refuses one that does not, so longer ones are left to it.
constexpr std::ptrdiff_t SURE_NUMBER_LENGTH = 32;
constexpr int SURE_EXPONENT_DIGITS = 2;

// The first byte at or after `at` that is not PLAIN, or `end`. Eight bytes at a time: a byte
// is flagged when it is a quote or a backslash (equal after XOR means zero), below 0x20, or
// has its high bit set. A borrow can flag bytes after the first true one, never before it, so
// the lowest flag of a little-endian word is exact.
const char* skip_plain(const char* at, const char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t ONES = 0x0101010101010101, HIGH = 0x8080808080808080;
    auto zero_bytes = [](std::uint64_t x) { return (x - ONES) & ~x & HIGH; };
    while (end - at >= 8) {
      std::uint64_t word;
      std::memcpy(&word, at, sizeof word);
      std::uint64_t flags = zero_bytes(word ^ (ONES * '"')) | zero_bytes(word ^ (ONES * '\\')) |
                            ((word - ONES * 0x20) & ~word & HIGH) | (word & HIGH);
      if (flags != 0) return at + (std::countr_zero(flags) >> 3);
      at += 8;
    }
  }
  while (at != end && PLAIN[static_cast<unsigned char>(*at)]) ++at;
  return at;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

JsonFieldScan::JsonFieldScan(std::initializer_list<std::initializer_list<std::string_view>> paths) {
  nodes_.emplace_back();
  for (const auto& path : paths) {
    int at = 0;
    for (std::string_view name : path) {
      int next = -1;
      for (int child : nodes_[at].children) {
        if (nodes_[child].name == name) next = child;
      }
      if (next < 0) {
        next = static_cast<int>(nodes_.size());
        nodes_.push_back(Node{std::string(name), {}, -1, false});
        nodes_[at].children.push_back(next);
      }
      at = next;
    }
    nodes_[at].value = static_cast<int>(values_.size());
    values_.emplace_back();
  }
}

bool JsonFieldScan::scan(std::string_view text) {
  for (ScannedValue& value : values_) {
    value.kind = ScannedValue::Kind::absent;
    value.text.clear();
  }
  for (Node& node : nodes_) node.seen = false;
  at_ = text.data();
  end_ = text.data() + text.size();
  skip_white_space();
  if (at_ == end_ || *at_ != '{') return false;
  if (!read_object(0, 1)) return false;
  skip_white_space();
  return at_ == end_;
}

// The hot loops work on local copies of the cursor: bytes read through a char pointer may alias
// the members, so the compiler would reload them at every byte.
void JsonFieldScan::skip_white_space() {
  const char* at = at_;
  const char* end = end_;
  while (at != end && (*at == ' ' || *at == '\n' || *at == '\r' || *at == '\t')) ++at;
  at_ = at;
}

bool JsonFieldScan::read_value(int node, int depth) {
  skip_white_space();
  if (at_ == end_) return false;
  ScannedValue* value =
      node >= 0 && nodes_[node].value >= 0 ? &values_[nodes_[node].value] : nullptr;
  using Kind = ScannedValue::Kind;
  if (value != nullptr) value->kind = Kind::other;
  switch (*at_) {
    case '{':
      return read_object(node, depth + 1);
    case '[':
      return read_array(depth + 1);
    case '"':
      if (value == nullptr) return read_string(nullptr);
      value->kind = Kind::string;
      return read_string(&value->text);
    case 't':
      return read_literal("true");
    case 'f':
      return read_literal("false");
    case 'n':
      if (value != nullptr) value->kind = Kind::null;
      return read_literal("null");
    default:
      return read_number();
  }
}

bool JsonFieldScan::read_object(int node, int depth) {
  if (depth > MAX_DEPTH) return false;
  ++at_;  // the opening brace
  const bool wanted = node >= 0 && !nodes_[node].children.empty();
  skip_white_space();
  if (at_ != end_ && *at_ == '}') {
    ++at_;
    return true;
  }
  for (;;) {
    skip_white_space();
    if (at_ == end_ || *at_ != '"') return false;
    int child = -1;
    if (wanted) {
      // Names are compared decoded, as the parser's map compares them.
      key_.clear();
      if (!read_string(&key_)) return false;
      for (int candidate : nodes_[node].children) {
        if (nodes_[candidate].name == key_) child = candidate;
      }
      if (child >= 0) {
        // The parser keeps the last of two equal names; rather than follow that, give up.
        if (nodes_[child].seen) return false;
        nodes_[child].seen = true;
      }
    } else if (!read_string(nullptr)) {
      return false;
    }
    skip_white_space();
    if (at_ == end_ || *at_ != ':') return false;
    ++at_;
    bool closed = false;
    if (!read_value(child, depth) || !read_separator('}', closed)) return false;
    if (closed) return true;
  }
}

bool JsonFieldScan::read_array(int depth) {
  if (depth > MAX_DEPTH) return false;
  ++at_;  // the opening bracket
  skip_white_space();
  if (at_ != end_ && *at_ == ']') {
    ++at_;
    return true;
  }
  for (;;) {
    bool closed = false;
    if (!read_value(-1, depth) || !read_separator(']', closed)) return false;
    if (closed) return true;
  }
}

bool JsonFieldScan::read_separator(char close, bool& closed) {
  skip_white_space();
  if (at_ == end_ || (*at_ != close && *at_ != ',')) return false;
  closed = *at_++ == close;
  return true;
}

bool JsonFieldScan::read_string(std::string* decoded) {
  ++at_;                  // the opening quote
  const char* run = at_;  // start of the plain bytes not yet appended
  for (;;) {
    at_ = skip_plain(at_, end_);
    if (at_ == end_) return false;
    auto c = static_cast<unsigned char>(*at_);
    if (c == '"') {
      if (decoded != nullptr) decoded->append(run, at_);
      ++at_;
      return true;
    }
    if (c == '\\') {
      if (decoded != nullptr) decoded->append(run, at_);
      if (++at_ == end_) return false;
      char escaped = *at_++;
      char plain = 0;
      switch (escaped) {
        case '"':
        case '\\':
        case '/':
          plain = escaped;
          break;
        case 'b':
          plain = '\b';
          break;
        case 'f':
          plain = '\f';
          break;
        case 'n':
          plain = '\n';
          break;
        case 'r':
          plain = '\r';
          break;
        case 't':
          plain = '\t';
          break;
        case 'u':
          if (!read_unicode_escape(decoded)) return false;
          run = at_;
          continue;
        default:
          return false;
      }
      if (decoded != nullptr) *decoded += plain;
      run = at_;
      continue;
    }
    if (c < 0x20) return false;
    std::size_t length = utf8_sequence_length(std::string_view(at_, end_ - at_), 0);
    if (length == 0) return false;
    at_ += length;
  }
}

// After "\u": four hex digits, and for a high surrogate a "\u" escape of the low one after it;
// a surrogate without its other half is an error to the parser.
bool JsonFieldScan::read_unicode_escape(std::string* decoded) {
  auto four_hex = [this]() -> int {
    if (end_ - at_ < 4) return -1;
    int cp = 0;
    for (int k = 0; k < 4; ++k) {
      int digit = hex_value(*at_++);
      if (digit < 0) return -1;
      cp = cp * 16 + digit;
    }
    return cp;
  };
  int cp = four_hex();
  if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
  char32_t code = static_cast<char32_t>(cp);
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
    at_ += 2;
    int low = four_hex();
    if (low < 0xDC00 || low > 0xDFFF) return false;
    code = 0x10000 + ((static_cast<char32_t>(cp) - 0xD800) << 10) +
           (static_cast<char32_t>(low) - 0xDC00);
  }
  if (decoded != nullptr) append_utf8(*decoded, code);
  return true;
}

bool JsonFieldScan::read_number() {
  const char* start = at_;
  if (*at_ == '-') ++at_;
  if (at_ == end_ || !is_digit(*at_)) return false;
  if (*at_++ != '0') {
    while (at_ != end_ && is_digit(*at_)) ++at_;
  }
  if (at_ != end_ && *at_ == '.') {
    ++at_;
    if (at_ == end_ || !is_digit(*at_)) return false;
    while (at_ != end_ && is_digit(*at_)) ++at_;
  }
  int exponent_digits = 0;
  if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
    ++at_;
    if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
    if (at_ == end_ || !is_digit(*at_)) return false;
    while (at_ != end_ && is_digit(*at_)) {
      ++at_;
      ++exponent_digits;
    }
  }
  return at_ - start <= SURE_NUMBER_LENGTH && exponent_digits <= SURE_EXPONENT_DIGITS;
}

bool JsonFieldScan::read_literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - at_) < word.size() ||
      std::string_view(at_, word.size()) != word) {
    return false;
  }
  at_ += word.size();
  return true;
}
