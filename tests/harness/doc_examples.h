// The examples of the Markdown documentation, read out of the files so that tests can send them
// to a running bridge and compare the answers with what the documentation shows.
//
// An example is a fenced ```sh block whose info string carries "example=NAME", holding one curl
// command (and optionally a "# 404 Not Found" comment line naming the status, 200 when there is
// none), followed directly by a fenced block with the answer: ```json for a JSON body, ```text
// for response headers (curl -D -) or for the frames of an event stream (curl -N).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "harness/bridge_process.h"
#include "harness/http_client.h"
#include "util/json.h"

namespace harness {

/// One fenced block of a Markdown file.
struct FencedBlock {
  std::string info;             // the text after the opening fence ("sh example=say", "json")
  std::string text;             // the lines inside, each ending with a line feed
  std::size_t line = 0;         // line number of the opening fence, from 1
  bool follows_block = false;   // only blank lines separate it from the block before
};

/// The fenced blocks of `markdown`, in order.
std::vector<FencedBlock> fenced_blocks(const std::string& markdown);

/// One documented request and its answer.
struct DocExample {
  std::string name;
  std::string where;  // "file:line", for messages
  std::string method = "GET";
  std::string target;  // path and query, as in the URL
  std::optional<Json> body;
  std::vector<std::string> headers;  // from -H
  int status = 200;
  bool headers_only = false;  // curl -D - -o /dev/null: the answer shows the response head
  bool stream = false;        // curl -N: the answer shows event-stream frames
  std::string answer;         // the answer block's text
};

/// Reads the examples of `markdown` (named `file` in messages). Malformed examples, and curl
/// commands followed by an answer but not marked as examples, are reported in `problems`.
std::vector<DocExample> read_examples(const std::string& markdown, const std::string& file,
                                      std::vector<std::string>& problems);

/// Sends the example (its body with the top-level members of `replace` put in place of the
/// documented values, and its query's since= replaced by `since` when given) on a fresh
/// connection to `port`, and reads the answer. A stream example is not sent here.
std::optional<HttpResponse> send_example(const DocExample& example, std::uint16_t port,
                                         const Json& replace = Json::object(),
                                         std::chrono::milliseconds timeout = DEFAULT_WAIT);

/// How an answer differs from the example: its status, then its body (or its head, for a
/// headers_only example). Bodies are compared in shape: keys missing or extra, values of another
/// JSON kind (all numbers are one kind), booleans of another value, and values of the keys whose
/// text never varies ("error", "type", "policy", ...) other than shown; each element of an array
/// against the first one shown. Empty when they agree.
std::vector<std::string> answer_differences(const DocExample& example, const HttpResponse& answer);

/// The events shown by ```json blocks that are not the answer of an example: each a JSON
/// object with a "type". `where` of each is "file:line".
std::vector<std::pair<std::string, Json>> shown_events(const std::string& markdown,
                                                        const std::string& file);

/// The events shown by a stream example's answer ("data: " lines), with their places.
std::vector<std::pair<std::string, Json>> stream_frames(const DocExample& example);

/// The first of `seen` that has the type and shape of `shown` (as answer_differences compares
/// bodies); nullopt, with the differences
/// from the closest of that type (or a note that none had the type) in `why`, when none has.
std::optional<Json> matching_event(const Json& shown, const std::vector<Json>& seen,
                                   std::string& why);

}  // namespace harness
