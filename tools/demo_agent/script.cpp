#include "script.h"

#include <charconv>
#include <utility>

namespace {

using Kind = Directive::Kind;

constexpr long long MAX_BUSY_MS = 3'600'000;

const std::pair<std::string_view, Kind> NAMES[] = {
    {"reply", Kind::Reply},
    {"deltas", Kind::Deltas},
    {"full", Kind::Full},
    {"assistant", Kind::Full},
    {"tool", Kind::Tool},
    {"fail", Kind::Fail},
    {"fail-errors", Kind::FailErrors},
    {"api-error", Kind::ApiError},
    {"stderr", Kind::Stderr},
    {"exit", Kind::Exit},
    {"hang", Kind::Hang},
    {"busy", Kind::Busy},
    {"wait-file", Kind::WaitFile},
    {"subagent", Kind::Subagent},
    {"mode", Kind::Mode},
    {"raw", Kind::Raw},
    {"report", Kind::Report},
    {"session", Kind::Session},
    {"hold-stderr", Kind::HoldStderr},
    {"deaf-flood", Kind::DeafFlood},
    {"flood", Kind::Flood},
    {"long-line", Kind::LongLine},
};

// The upper bound of each directive that takes a number.
long long number_limit(Kind kind) {
  switch (kind) {
    case Kind::Exit:
      return 255;
    case Kind::HoldStderr:
      return 60'000;
    case Kind::DeafFlood:
    case Kind::Flood:
      return 10'000'000;
    case Kind::LongLine:
      return 1ll << 30;
    default:
      return MAX_BUSY_MS;
  }
}

std::vector<std::string> split_pieces(std::string_view text) {
  std::vector<std::string> pieces;
  for (;;) {
    std::size_t bar = text.find('|');
    pieces.emplace_back(text.substr(0, bar));
    if (bar == std::string_view::npos) return pieces;
    text.remove_prefix(bar + 1);
  }
}

std::optional<long long> parse_number(std::string_view text, long long low, long long high) {
  long long value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

// Reads one directive line (without its leading "@"); an error text when it cannot be read.
std::string read_directive(std::string_view line, Directive& out) {
  std::size_t space = line.find(' ');
  std::string_view name = line.substr(0, space);
  std::string_view argument = space == std::string_view::npos ? "" : line.substr(space + 1);
  bool found = false;
  for (const auto& [known, kind] : NAMES) {
    if (known == name) {
      out.kind = kind;
      found = true;
    }
  }
  // Appended, not prefixed: GCC 12 sees a false overlap in inserting "@" before a copy at -O3.
  std::string tag = std::string("@").append(name);
  if (!found) return "unknown directive " + tag;
  switch (out.kind) {
    case Kind::Deltas:
    case Kind::FailErrors:
      out.pieces = split_pieces(argument);
      break;
    case Kind::Tool: {
      std::size_t gap = argument.find(' ');
      out.text = std::string(argument.substr(0, gap));
      if (out.text.empty()) return "@tool needs a tool name";
      std::string_view json = gap == std::string_view::npos ? "" : argument.substr(gap + 1);
      if (json.find_first_not_of(" \t") != std::string_view::npos) {
        std::optional<Json> input = parse_json(json);
        if (!input || !input->is_object()) return "@tool input is not a JSON object";
        out.input = std::move(*input);
      }
      break;
    }
    case Kind::Exit:
    case Kind::Busy:
    case Kind::HoldStderr:
    case Kind::DeafFlood:
    case Kind::Flood:
    case Kind::LongLine: {
      std::optional<long long> number = parse_number(argument, 0, number_limit(out.kind));
      if (!number) return tag + " needs a number in range, not '" + std::string(argument) + "'";
      out.number = *number;
      break;
    }
    case Kind::WaitFile:
    case Kind::Mode:
      if (argument.empty()) return tag + " needs an argument";
      out.text = std::string(argument);
      break;
    default:
      out.text = std::string(argument);
      break;
  }
  return "";
}

}  // namespace

std::optional<Script> parse_script(std::string_view text) {
  Script script;
  bool any = false;
  while (!text.empty()) {
    std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? "" : text.substr(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string_view::npos) continue;
    line.remove_prefix(start);
    if (line.size() < 2 || line[0] != '@' || line[1] < 'a' || line[1] > 'z') continue;
    any = true;
    Directive directive;
    std::string error = read_directive(line.substr(1), directive);
    if (!error.empty() && script.error.empty()) script.error = error;
    if (error.empty()) script.directives.push_back(std::move(directive));
  }
  if (!any) return std::nullopt;
  return script;
}

bool produces_reply(Directive::Kind kind) {
  switch (kind) {
    case Kind::Reply:
    case Kind::Deltas:
    case Kind::Full:
    case Kind::Tool:
    case Kind::Report:
    case Kind::Session:
      return true;
    default:
      return false;
  }
}
