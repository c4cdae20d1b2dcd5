#include "harness/doc_examples.h"

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>

#include "util/text.h"

namespace harness {

namespace {

// Keys whose text is the same in every run, so the documentation must show it exactly.
const std::set<std::string, std::less<>> FIXED_TEXT = {
    "error", "type", "policy", "value", "category", "workspace_source",
    "hookEventName", "permissionDecision", "permissionDecisionReason"};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Words of a shell command line: white space separates them, single and double quotes group
// (no escapes inside single quotes, as in sh). Enough for the curl lines of the docs.
std::vector<std::string> shell_words(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (char c : line) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::exchange(word, ""));
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::string kind_of(const Json& value) {
  if (value.is_object()) return "object";
  if (value.is_array()) return "array";
  if (value.is_string()) return "string";
  if (value.is_number()) return "number";
  if (value.is_boolean()) return "boolean";
  return "null";
}

void compare(const Json& shown, const Json& actual, const std::string& key,
             const std::string& where, std::vector<std::string>& out) {
  std::string place = where.empty() ? "the answer" : where;
  if (kind_of(shown) != kind_of(actual)) {
    out.push_back(place + ": documented a " + kind_of(shown) + ", got " + dump_json(actual));
    return;
  }
  if (shown.is_object()) {
    for (auto it = shown.begin(); it != shown.end(); ++it) {
      std::string inner = where.empty() ? it.key() : where + "." + it.key();
      if (!actual.contains(it.key())) {
        out.push_back(inner + ": documented, but missing");
      } else {
        compare(it.value(), actual.at(it.key()), it.key(), inner, out);
      }
    }
    for (auto it = actual.begin(); it != actual.end(); ++it) {
      if (!shown.contains(it.key())) {
        std::string inner = where.empty() ? it.key() : where + "." + it.key();
        out.push_back(inner + ": present (" + dump_json(it.value()) + "), but not documented");
      }
    }
  } else if (shown.is_array()) {
    if (shown.empty()) return;
    for (std::size_t i = 0; i < actual.size(); ++i) {
      compare(shown[0], actual[i], key, where + "[" + std::to_string(i) + "]", out);
    }
  } else if ((shown.is_boolean() || (shown.is_string() && FIXED_TEXT.count(key) != 0)) &&
             shown != actual) {
    out.push_back(place + ": documented " + dump_json(shown) + ", got " + dump_json(actual));
  }
}

// Parses the curl command of an example into `example`; a problem text when it cannot.
std::optional<std::string> parse_curl(const std::string& line, DocExample& example) {
  std::vector<std::string> words = shell_words(line);
  bool method_given = false;
  std::string dump_to, output_to;
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& w = words[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= words.size()) return std::nullopt;
      return words[++i];
    };
    if (w == "-s") continue;
    if (w == "-N") {
      example.stream = true;
    } else if (w == "-X" || w == "-d" || w == "-H" || w == "-D" || w == "-o") {
      std::optional<std::string> v = value();
      if (!v) return w + " without a value";
      if (w == "-X") {
        example.method = *v;
        method_given = true;
      } else if (w == "-d") {
        example.body = parse_json(*v);
        if (!example.body) return "the body is not JSON: " + *v;
      } else if (w == "-H") {
        example.headers.push_back(*v);
      } else if (w == "-D") {
        dump_to = *v;
      } else {
        output_to = *v;
      }
    } else if (w.rfind("http://", 0) == 0) {
      std::size_t slash = w.find('/', 7);
      example.target = slash == std::string::npos ? "/" : w.substr(slash);
    } else {
      return "an option the examples do not use: " + w;
    }
  }
  if (example.body && !method_given) example.method = "POST";
  example.headers_only = dump_to == "-" && output_to == "/dev/null";
  if (example.target.empty()) return std::string("no URL");
  return std::nullopt;
}

std::vector<std::string> shape_differences(const Json& shown, const Json& actual) {
  std::vector<std::string> out;
  compare(shown, actual, "", "", out);
  return out;
}

}  // namespace

std::vector<FencedBlock> fenced_blocks(const std::string& markdown) {
  std::vector<FencedBlock> blocks;
  std::optional<FencedBlock> open;
  bool blank_since_block = false;  // only blank lines since the last block closed
  bool after_block = false;
  std::size_t number = 0;
  for (const std::string& line : lines_of(markdown)) {
    ++number;
    if (open) {
      if (line.rfind("```", 0) == 0) {
        blocks.push_back(std::move(*open));
        open.reset();
        after_block = true;
        blank_since_block = true;
      } else {
        open->text += line + "\n";
      }
      continue;
    }
    if (line.rfind("```", 0) == 0) {
      open = FencedBlock{trim(line.substr(3)), "", number, after_block && blank_since_block};
    } else if (!trim(line).empty()) {
      blank_since_block = false;
    }
  }
  return blocks;
}

std::vector<DocExample> read_examples(const std::string& markdown, const std::string& file,
                                      std::vector<std::string>& problems) {
  static const std::regex name_pattern(R"((^|\s)example=([A-Za-z0-9_-]+))");
  static const std::regex status_pattern(R"(^#\s*([0-9]{3})\b.*)");
  std::vector<FencedBlock> blocks = fenced_blocks(markdown);
  std::vector<DocExample> examples;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const FencedBlock& block = blocks[i];
    std::string where = file + ":" + std::to_string(block.line);
    bool answered = i + 1 < blocks.size() && blocks[i + 1].follows_block;
    std::smatch named;
    if (!std::regex_search(block.info, named, name_pattern)) {
      bool curl = block.text.rfind("curl ", 0) == 0 || block.text.find("\ncurl ") != std::string::npos;
      if (block.info == "sh" && curl && answered) {
        problems.push_back(where + ": a curl command with an answer, not marked as an example");
      }
      continue;
    }
    DocExample example;
    example.name = named[2];
    example.where = where;
    int curls = 0;
    for (const std::string& line : lines_of(block.text)) {
      std::smatch status;
      if (std::regex_match(line, status, status_pattern)) {
        example.status = std::stoi(status[1]);
      } else if (line.rfind("curl ", 0) == 0) {
        ++curls;
        if (std::optional<std::string> problem = parse_curl(line, example)) {
          problems.push_back(where + ": " + *problem);
        }
      } else if (!trim(line).empty()) {
        problems.push_back(where + ": a line that is neither curl nor a status: " + line);
      }
    }
    if (curls != 1) problems.push_back(where + ": an example holds exactly one curl command");
    if (!answered) {
      problems.push_back(where + ": no answer block right after the example");
      continue;
    }
    const FencedBlock& answer = blocks[++i];
    example.answer = answer.text;
    bool json_expected = !example.headers_only && !example.stream;
    if (json_expected != (answer.info == "json")) {
      problems.push_back(where + ": the answer block should be " + (json_expected ? "json" : "text"));
    }
    if (json_expected && !parse_json(answer.text)) {
      problems.push_back(where + ": the answer is not JSON");
    }
    examples.push_back(std::move(example));
  }
  return examples;
}

std::optional<HttpResponse> send_example(const DocExample& example, std::uint16_t port,
                                         const Json& replace, std::chrono::milliseconds timeout) {
  std::string target = example.target;
  if (replace.contains("since")) {
    target = std::regex_replace(target, std::regex(R"(since=[0-9]+)"),
                                "since=" + std::to_string(replace["since"].get<std::uint64_t>()));
  }
  std::optional<Json> body = example.body;
  if (body && body->is_object()) {
    for (auto it = replace.begin(); it != replace.end(); ++it) {
      if (body->contains(it.key())) (*body)[it.key()] = it.value();
    }
  }
  bool host_given = false;
  std::string request = example.method + " " + target + " HTTP/1.1\r\n";
  for (const std::string& header : example.headers) {
    host_given = host_given || ascii_lower(header).rfind("host:", 0) == 0;
    request += header + "\r\n";
  }
  if (!host_given) request += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  std::string payload = body ? dump_json(*body) : "";
  if (body) request += "Content-Length: " + std::to_string(payload.size()) + "\r\n";
  request += "Connection: close\r\n\r\n" + payload;

  HttpConnection connection;
  if (!connection.connect(port) || !connection.send_raw(request)) return std::nullopt;
  return connection.read_response(timeout);
}

std::vector<std::string> answer_differences(const DocExample& example, const HttpResponse& answer) {
  std::vector<std::string> out;
  if (answer.status != example.status) {
    out.push_back("status " + std::to_string(answer.status) + ", documented " +
                  std::to_string(example.status) + " (body " + answer.body + ")");
  }
  if (!example.headers_only) {
    std::optional<Json> shown = parse_json(example.answer);
    if (!shown) return {"the documented answer is not JSON"};
    std::vector<std::string> body = shape_differences(*shown, answer.json());
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }
  for (const std::string& line : lines_of(example.answer)) {
    if (line.rfind("HTTP/", 0) == 0 || trim(line).empty()) continue;
    std::size_t colon = line.find(':');
    std::string name = ascii_lower(line.substr(0, colon));
    std::string value = colon == std::string::npos ? "" : trim(line.substr(colon + 1));
    auto it = answer.headers.find(name);
    if (it == answer.headers.end()) {
      out.push_back("header " + name + ": documented, but missing");
    } else if (name == "content-length") {
      if (it->second.empty() || it->second.find_first_not_of("0123456789") != std::string::npos) {
        out.push_back("header content-length: not a number: " + it->second);
      }
    } else if (it->second != value) {
      out.push_back("header " + name + ": documented " + value + ", got " + it->second);
    }
  }
  return out;
}

std::vector<std::pair<std::string, Json>> shown_events(const std::string& markdown,
                                                        const std::string& file) {
  std::vector<FencedBlock> blocks = fenced_blocks(markdown);
  std::vector<std::pair<std::string, Json>> events;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const FencedBlock& block = blocks[i];
    bool answer = block.follows_block && i > 0 && blocks[i - 1].info.find("example=") != std::string::npos;
    if (block.info != "json" || answer) continue;
    std::optional<Json> parsed = parse_json(block.text);
    if (parsed && parsed->is_object() && parsed->contains("type")) {
      events.emplace_back(file + ":" + std::to_string(block.line), *parsed);
    }
  }
  return events;
}

std::vector<std::pair<std::string, Json>> stream_frames(const DocExample& example) {
  std::vector<std::pair<std::string, Json>> frames;
  std::size_t n = 0;
  for (const std::string& line : lines_of(example.answer)) {
    ++n;
    if (line.rfind("data: ", 0) != 0) continue;
    std::optional<Json> parsed = parse_json(line.substr(6));
    frames.emplace_back(example.where + " frame line " + std::to_string(n),
                        parsed ? *parsed : Json("not JSON: " + line));
  }
  return frames;
}

std::optional<Json> matching_event(const Json& shown, const std::vector<Json>& seen,
                                   std::string& why) {
  if (!shown.is_object()) {
    why = "not an event: " + dump_json(shown);
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> closest;
  for (const Json& event : seen) {
    if (!event.is_object() || event.value("type", "") != shown.value("type", "")) continue;
    std::vector<std::string> differences = shape_differences(shown, event);
    if (differences.empty()) return event;
    if (!closest || differences.size() < closest->size()) closest = std::move(differences);
  }
  why = "no \"" + shown.value("type", "") + "\" event was seen";
  if (closest) {
    why = "the closest \"" + shown.value("type", "") + "\" event differs:";
    for (const std::string& d : *closest) why += "\n  " + d;
  }
  return std::nullopt;
}

}  // namespace harness
