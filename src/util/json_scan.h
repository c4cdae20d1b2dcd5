// A few values of a JSON object, read straight from its text.
//
// For a hot path that sees one plain kind of document over and over: one pass over the text,
// no document tree, and no allocation once the scanner's buffers have grown. A scan never reads
// a value differently from parse_json: whatever it is not sure of makes it give up, and the
// caller then takes the ordinary way.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

/// What a scan found at one wanted place of the document.
struct ScannedValue {
  enum class Kind { absent, null, string, other };
  Kind kind = Kind::absent;
  std::string text;  // the string's decoded bytes when kind is string, else empty
};

/// Reads the values at fixed member paths of JSON objects. One scanner serves one thread; its
/// values stay valid until its next scan.
class JsonFieldScan {
 public:
  /// Nesting deeper than this is left to the parser.
  static constexpr int MAX_DEPTH = 32;

  /// `paths`: for each wanted value, the member names leading to it from the outer object, for
  /// example {"event", "delta", "text"}.
  JsonFieldScan(std::initializer_list<std::initializer_list<std::string_view>> paths);

  /// True when `text` is one JSON object, with nothing but JSON white space around it, that
  /// parse_json reads as it stands (valid UTF-8 included), and every wanted value is known:
  /// value(i) is then what parse_json's document holds at paths[i], absent also when a step on
  /// the way is not an object. False when not sure: invalid JSON or UTF-8, nesting deeper than
  /// MAX_DEPTH, a number that might not fit a double, a member on a wanted path given twice.
  bool scan(std::string_view text);

  /// What the last successful scan found at paths[i].
  const ScannedValue& value(std::size_t i) const { return values_[i]; }

 private:
  struct Node {
    std::string name;
    std::vector<int> children;  // indexes into nodes_
    int value = -1;             // index into values_ when a path ends here
    bool seen = false;          // met in the current scan
  };

  // Each reads one item at the cursor and moves past it; `node` is the wanted place the item
  // stands at, or -1 when nothing under it is wanted.
  bool read_value(int node, int depth);
  bool read_object(int node, int depth);
  bool read_array(int depth);
  // After a member or element: a comma, or `close` (then `closed` is set).
  bool read_separator(char close, bool& closed);
  bool read_string(std::string* decoded);
  bool read_unicode_escape(std::string* decoded);
  bool read_number();
  bool read_literal(std::string_view word);
  void skip_white_space();

  std::vector<Node> nodes_;  // nodes_[0] is the outer object
  std::vector<ScannedValue> values_;
  std::string key_;  // the member name being matched
  const char* at_ = nullptr;
  const char* end_ = nullptr;
};
