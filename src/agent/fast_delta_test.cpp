#include "agent/fast_delta.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/fast_delta_check.h"
#include "agent/npc.h"
#include "agent/translate.h"

namespace {

// A text delta as the CLI writes it, with `text` already in JSON form (quotes included).
std::string cli_delta(const std::string& text, const std::string& parent = "null") {
  return R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,"delta":)"
         R"({"type":"text_delta","text":)" +
         text + R"(}},"session_id":"5f0c2b8e-4d1a-4c3e-9a7b-2e1d0c9b8a7f","parent_tool_use_id":)" +
         parent + R"(,"uuid":"0b1c2d3e-4f50-6172-8394-a5b6c7d8e9f0"})";
}

struct Line {
  std::string text;
  FastLine expected;
};

std::vector<Line> corpus() {
  const std::string a = cli_delta(R"("a")");
  // `a` with `field` put first.
  auto led_by = [&a](const std::string& field) {
    return std::string(a).replace(1, 0, field + ",");
  };
  auto nested = [&](int depth) {
    return led_by(R"("d":)" + std::string(depth, '[') + std::string(depth, ']'));
  };
  std::vector<Line> lines = {
      // What the CLI, the demo agent and the relay benchmark's agent write.
      {cli_delta(R"("Hello")"), FastLine::delta},
      {R"({"event":{"delta":{"text":"Hel","type":"text_delta"},"index":0,"type":"content_block_delta"},)"
       R"("parent_tool_use_id":null,"session_id":"s","type":"stream_event","uuid":"u"})",
       FastLine::delta},
      // Escapes of every kind, surrogate pairs, raw UTF-8, a huge text.
      {cli_delta(
           R"("say \"hi\" \\ \/ \b\f\n\r\t \u0000 \u001f \u007f \u00e9 \u20AC \uD83D\uDE00")"),
       FastLine::delta},
      {cli_delta("\"caf\xC3\xA9 \xE6\xBC\xA2\xE5\xAD\x97 \xF0\x9F\x98\x80 \x7F\""),
       FastLine::delta},
      {cli_delta("\"" + std::string(200'000, 'a') + "\\n\\\"" + std::string(100'000, 'b') +
                 "\\ud83d\\ude00\""),
       FastLine::delta},
      // Unknown fields, nested values, other orders, white space, escaped names.
      {R"( {"uuid":"u","event":{"delta":{"text":"x","type":"text_delta","extra":{"a":[1,{"b":null}]}},)"
       R"("type":"content_block_delta","index":1e5},"type":"stream_event"}  )"
       "\r",
       FastLine::delta},
      {R"({"type":"stream\u005fevent","\u0065vent":{"type":"content_block_delta","delta":{"type":)"
       R"("text_delta","te\u0078t":"y"}}})",
       FastLine::delta},
      {"{\"type\" :\t\"stream_event\" ,\n\"event\":{\"type\":\"content_block_delta\",\"delta\":"
       "{\"type\":\"text_delta\",\"text\":\"z\"}}}",
       FastLine::delta},
      {led_by(R"("uuid":"a","uuid":"b")"), FastLine::delta},
      // Nesting up to the scanner's depth is followed; deeper is left to the parser.
      {nested(31), FastLine::delta},
      {nested(32), FastLine::unsure},
      // Sub-agents: a tool use's id says whose the record is.
      {cli_delta(R"("from a helper")", R"("toolu_01")"), FastLine::ignored},
      {R"({"type":"stream_event","parent_tool_use_id":"toolu_01","event":{"type":"message_start"}})",
       FastLine::ignored},
      // A record missing the delta's fields, read right after one that has them.
      {cli_delta(R"("x")"), FastLine::delta},
      {R"({"type":"stream_event","event":{"type":"content_block_delta"}})", FastLine::unsure},
  };
  // Everything else is left to the ordinary way: other parents, events and records; values of
  // other kinds where strings belong; names given twice; broken or unusual text.
  std::vector<std::string> unsure = {
      R"({"type":"stream_event","event":{"type":"message_start","message":{"content":[]}}})",
      R"({"type":"stream_event","event":{"type":"content_block_delta","delta":)"
      R"({"type":"input_json_delta","partial_json":"{\"a\""}}})",
      R"({"type":"assistant","message":{"content":[{"type":"text","text":"Hello"}]}})",
      R"({"type":1,"event":{"type":"content_block_delta","delta":{"type":"text_delta","text":"x"}}})",
      R"({"type":"stream_event","event":{"type":"content_block_delta","delta":"text_delta"}})",
      led_by(R"("type":"assistant")"),
      led_by(R"("\u0074ype":"x")"),
      R"({"type":"stream_event","event":{"type":"content_block_delta","delta":{"type":"text_delta",)"
      R"("text":"a","text":"b"}}})",
      R"({"type":"stream_event","event":{"type":"content_block_delta","delta":{"type":"text_delta",)"
      R"("text":"a"},"delta":{"type":"text_delta","text":"b"}}})",
      a + " trailing",
      a + a,
      "\xC2\xA0" + a,
      "\xEF\xBB\xBF" + a,  // a byte order mark
      R"(["stream_event"])",
  };
  for (const char* parent : {R"("")", "false", "0", "[]"}) {
    unsure.push_back(cli_delta(R"("x")", parent));
  }
  for (const char* text :
       {"5", "null", R"({"a":"b"})", R"("")", R"("\ud83d")", R"("\ude00 low alone")",
        R"("\ud83d\u0041")", "\"overlong \xC0\xAF\"", "\"raw\ttab\""}) {
    unsure.push_back(cli_delta(text));
  }
  // Anywhere in the line, a value JSON does not spell that way (numbers, literals, escapes,
  // UTF-8) makes the scanner give up rather than read it differently from the parser.
  std::vector<std::string> values = {"01",   "+1",    ".5",    "1.",      "-",    "1e",
                                     "0x10", "1e100", "1e400", "nul",     "tru",  "True",
                                     "NaN",  "[1,]",  "[1 2]", "{'a':1}", "{a:1}"};
  for (const char* text :
       {R"("\x41")", R"("\u12")", R"("\u12G4")", "\"\xC3\"", "\"\xED\xA0\x80\""}) {
    values.push_back(text);
  }
  values.push_back(std::string(40, '9'));
  values.push_back(std::string("\"a\0b\"", 5));
  for (const std::string& value : values) unsure.push_back(led_by(R"("n":)" + value));
  for (const std::string& text : unsure) lines.push_back({text, FastLine::unsure});
  return lines;
}

}  // namespace

// Every line either goes the fast way with exactly the ordinary way's events and streamed text,
// or is left to the ordinary way.
TEST(FastDelta, AgreesWithTheOrdinaryWayOnEveryRecordOrDeclines) {
  for (const Line& line : corpus()) {
    std::string why;
    EXPECT_TRUE(fast_path_agrees(line.text, &why)) << line.text.substr(0, 300) << "\n" << why;
    std::string_view text;
    EXPECT_EQ(read_fast_line(line.text, text), line.expected) << line.text.substr(0, 300);
  }
}

// Lines cut short or with one byte changed, as a broken pipe or a confused agent might give.
TEST(FastDelta, DamagedLinesAgreeToo) {
  const std::string line = cli_delta(R"("it's \"fine\" \u00e9")");
  const std::string replacements = std::string("\"\\{}[],: x0e-\x80\xFF") + '\0';
  for (std::size_t at = 0; at < line.size(); ++at) {
    std::string why;
    EXPECT_TRUE(fast_path_agrees(line.substr(0, at), &why)) << line.substr(0, at) << "\n" << why;
    for (char c : replacements) {
      std::string damaged = line;
      damaged[at] = c;
      EXPECT_TRUE(fast_path_agrees(damaged, &why)) << damaged << "\n" << why;
    }
  }
}

// A reply with plain deltas and others mixed, line by line as the agent's reader hands them
// over: every character reaches the game once, in order, and the final message adds only what
// was not streamed.
TEST(FastDelta, AReplyArrivesOnceAndInOrder) {
  Npc npc("reader");
  const std::vector<std::string> lines = {
      R"({"type":"stream_event","event":{"type":"message_start","message":{}}})",
      cli_delta(R"("Wel")"),
      cli_delta(R"("come, \"friend\",")"),
      cli_delta(R"("\ud83d\ude00")", R"("toolu_9")"),  // a sub-agent's: not relayed
      cli_delta(R"(" to")").replace(1, 0, R"("type":"stream_event",)"),  // unsure: ordinary way
      cli_delta("\" the \xFF forge\""),  // mended by the ordinary way
      R"({"type":"assistant","message":{"content":[{"type":"text","text":"Welcome, \"friend\", to the )"
      "\xEF\xBF\xBD"
      R"( forge. Sit."}]},"parent_tool_use_id":null})",
  };
  for (const std::string& line : lines) translate_line(npc, 1, line);

  std::vector<std::string> events;
  for (const StoredEvent& e : events_after(npc.events, 0)) events.emplace_back(e.json());
  const std::vector<std::string> expected = {
      R"({"npc":"reader","seq":1,"text":"Wel","type":"delta"})",
      R"({"npc":"reader","seq":2,"text":"come, \"friend\",","type":"delta"})",
      R"({"npc":"reader","seq":3,"text":" to","type":"delta"})",
      R"({"npc":"reader","seq":4,"text":" the )"
      "\xEF\xBF\xBD"
      R"( forge","type":"delta"})",
      R"({"npc":"reader","seq":5,"text":". Sit.","type":"delta"})",
      R"({"npc":"reader","seq":6,"type":"message_end"})",
  };
  EXPECT_EQ(events, expected);
}
